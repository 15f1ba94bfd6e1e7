#include "cliprogress.h"

#include "safetext.h"

#include <unistd.h>

namespace {

const int barWidth = 40;
const int lineStep = 10;                // percent between plain lines

} // namespace

CliProgress::CliProgress(std::FILE *out, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_interactive(isatty(fileno(out)) == 1)
{
}

void CliProgress::setStream(std::FILE *out)
{
    finish();
    m_out = out;
    m_interactive = isatty(fileno(out)) == 1;
}

void CliProgress::setLabel(const QString &label)
{
    finish();
    // (It may name a device by what the device says of itself.)
    m_label = SafeText::forTerminal(label);
    m_shown = -1;
    if (!m_interactive) {
        std::fprintf(m_out, "%s\n", qPrintable(m_label));
        std::fflush(m_out);
    }
}

void CliProgress::setRange(int minimum, int maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
    m_shown = -1;
    setValue(minimum);
}

void CliProgress::setValue(int value)
{
    if (m_countingBytes) {
        // On a terminal the count in place, every 64 KiB; in a log a line
        // per MiB.
        const int step = m_interactive ? 64 * 1024 : 1024 * 1024;
        if (value / step <= m_shown)
            return;
        m_shown = value / step;
        if (m_interactive) {
            std::fprintf(m_out, "\r%s %d KiB", qPrintable(m_label), value / 1024);
            m_lineOpen = true;
        } else if (m_shown > 0) {
            std::fprintf(m_out, "progress %d MiB\n", m_shown);
        }
        std::fflush(m_out);
        return;
    }
    // A range of one block (maximum == minimum) is whole once reported.
    const int span = m_maximum - m_minimum;
    int percent = span > 0 ? int(qint64(value - m_minimum) * 100 / span) : (value > m_minimum ? 100 : 0);
    percent = qBound(0, percent, 100);
    if (m_interactive) {
        if (percent != m_shown)
            draw(percent);
    } else if (m_shown < 0 || percent / lineStep > m_shown / lineStep) {
        std::fprintf(m_out, "progress %d%%\n", percent);
        std::fflush(m_out);
    }
    if (percent > m_shown || m_shown < 0)
        m_shown = percent;
}

void CliProgress::draw(int percent)
{
    const int filled = percent * barWidth / 100;
    const QByteArray bar = QByteArray(filled, '#') + QByteArray(barWidth - filled, '.');
    std::fprintf(m_out, "\r%s [%s] %3d%%", qPrintable(m_label), bar.constData(), percent);
    std::fflush(m_out);
    m_lineOpen = true;
}

void CliProgress::finish()
{
    if (m_lineOpen) {
        std::fputc('\n', m_out);
        std::fflush(m_out);
    }
    m_lineOpen = false;
}
