#include "residentmemory.h"

#include <QFile>

#include <cstdio>

ResidentMemory::ResidentMemory(const QString &phase, int cycles)
    : m_phase(phase)
    , m_cycles(cycles)
    // The first tenth fills the caches and the trace window up to its
    // bound; from then on nothing may grow.
    , m_warmUp(qMax(1, cycles / 10))
{
    checkpoint(0);
}

long ResidentMemory::kilobytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // Files under /proc have no size: read them whole.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

void ResidentMemory::cycleDone(int done)
{
    if (done == m_warmUp || (done > m_warmUp && (done - m_warmUp) % qMax(1, (m_cycles - m_warmUp) / 9) == 0)
        || done == m_cycles)
        checkpoint(done);
}

void ResidentMemory::checkpoint(int done)
{
    const long now = kilobytes();
    if (done == m_warmUp)
        m_afterWarmUp = now;
    m_last = now;
    std::printf("%s %d %ld kB\n", qPrintable(m_phase), done, now);
    std::fflush(stdout);
}

bool ResidentMemory::verdict(long allowanceKb) const
{
    const long grown = m_last - m_afterWarmUp;
    const bool ok = m_afterWarmUp > 0 && grown <= allowanceKb;
    std::printf("%s: %ld kB after the warm-up, %ld kB at the end (%+ld kB): %s\n", qPrintable(m_phase), m_afterWarmUp,
                m_last, grown, ok ? "bounded" : "GROWS");
    std::fflush(stdout);
    return ok;
}
