#include "stationrun.h"

#include "cliconsole.h"
#include "devicecatalog.h"
#include "exitcode.h"
#include "interruptsignal.h"
#include "safetext.h"
#include "update/stationport.h"
#include "update/stationwatch.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <unistd.h>

namespace {

const int signalLook = 100;     // ms between looks for Ctrl+C or SIGTERM

QString eventName(ProductionStation::Event::Kind kind)
{
    switch (kind) {
    case ProductionStation::Event::Present:
        return QStringLiteral("present");
    case ProductionStation::Event::Writing:
        return QStringLiteral("writing");
    case ProductionStation::Event::Done:
        return QStringLiteral("done");
    case ProductionStation::Event::Failed:
        return QStringLiteral("failed");
    case ProductionStation::Event::Skipped:
        return QStringLiteral("skipped");
    case ProductionStation::Event::AlreadyDone:
        return QStringLiteral("already done");
    }
    return QString();
}

} // namespace

StationRun::StationRun(CliConsole *console, std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_console(console)
    , m_out(out)
    , m_err(err)
{
    connect(&m_station, &ProductionStation::happened, this, &StationRun::print);
    connect(&m_station, &ProductionStation::portChanged, this, &StationRun::showTally);
}

int StationRun::run(const FirmwareImage &image, const ProductionStation::Options &options, bool json)
{
    InterruptSignal::install();
    m_json = json;
    m_interactive = !json && isatty(fileno(m_out)) == 1;
    const QStringList models = DeviceCatalog::modelsFitting(image.path());
    const QString shown = SafeText::forTerminal(image.path());
    if (json) {
        QJsonObject start { { QStringLiteral("event"), QStringLiteral("start") },
                            { QStringLiteral("image"), image.path() },
                            { QStringLiteral("bytes"), image.size() },
                            { QStringLiteral("sha256"), image.sha256() },
                            { QStringLiteral("models"), QJsonArray::fromStringList(models) } };
        std::fprintf(m_out, "%s\n", QJsonDocument(start).toJson(QJsonDocument::Compact).constData());
    } else {
        std::fprintf(m_out, "Station for %s (%d bytes, SHA-256 %s)\n", qPrintable(shown), image.size(),
                     qPrintable(image.sha256()));
        std::fprintf(m_out, "It fits: %s. Waiting for devices; Ctrl+C ends.\n",
                     models.isEmpty() ? "no model" : qPrintable(models.join(QStringLiteral(", "))));
    }
    std::fflush(m_out);

    QEventLoop loop;
    connect(&m_station, &ProductionStation::finished, &loop, &QEventLoop::quit);
    StationWatch feed(&m_station);
    feed.start();
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [this, &watch] {
        if (!InterruptSignal::requested())
            return;
        watch.stop();
        m_station.stop();
    });
    watch.start(signalLook);

    m_station.start(image, options);
    showTally();
    // (The count may be reached, or a signal come, before the loop runs.)
    if (m_station.running() || !m_station.idle())
        loop.exec();
    feed.stop();
    watch.stop();
    summary();
    const ProductionStation::Tally tally = m_station.tally();
    return tally.failed == 0 ? ExitSuccess : ExitFailure;
}

void StationRun::print(const ProductionStation::Event &event)
{
    clearTally();
    if (m_json) {
        QJsonObject object { { QStringLiteral("event"), eventName(event.kind) },
                             { QStringLiteral("port"), event.port },
                             { QStringLiteral("serialNumber"), event.serialNumber },
                             { QStringLiteral("text"), event.text } };
        if (!event.reason.isEmpty())
            object.insert(QStringLiteral("reason"), event.reason);
        if (event.kind == ProductionStation::Event::Done || event.kind == ProductionStation::Event::Failed) {
            object.insert(QStringLiteral("outcome"), event.outcome.name());
            object.insert(QStringLiteral("verified"), event.outcome.verified());
            object.insert(QStringLiteral("seconds"), event.ms / 1000.0);
        }
        std::fprintf(m_out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
        std::fflush(m_out);
        return;
    }
    QString what;
    switch (event.kind) {
    case ProductionStation::Event::Present:
        what = QStringLiteral("present, left alone: ") + event.text;
        break;
    case ProductionStation::Event::Writing:
        what = QStringLiteral("writing ") + event.text;
        break;
    case ProductionStation::Event::Done:
        what = QStringLiteral("done (%1) in %2 s")
                   .arg(event.outcome.verified() ? QStringLiteral("verified")
                                                 : event.outcome.kind() == UpdateOutcome::NotVerifiable
                                                     ? QStringLiteral("not verified: ") + event.reason
                                                     : QStringLiteral("not read back"))
                   .arg(event.ms / 1000.0, 0, 'f', 1);
        break;
    default:
        what = eventName(event.kind) + QStringLiteral(": ") + event.reason;
        break;
    }
    // What a device says of itself is shown as text, never obeyed.
    const QString line = QStringLiteral("%1  %2  %3").arg(SafeText::forTerminal(event.port),
                                                           SafeText::forTerminal(event.serialNumber.isEmpty()
                                                                                     ? QStringLiteral("-")
                                                                                     : event.serialNumber),
                                                           SafeText::forTerminal(what));
    std::fprintf(event.kind == ProductionStation::Event::Failed ? m_err : m_out, "%s\n", qPrintable(line));
    std::fflush(m_out);
    std::fflush(m_err);
    showTally();
}

void StationRun::showTally()
{
    if (!m_interactive)
        return;
    const ProductionStation::Tally tally = m_station.tally();
    std::fprintf(m_out, "\r\x1b[2Kdone %d  failed %d  skipped %d  writing %d  (%.0f per hour)", tally.done,
                 tally.failed, tally.skipped, tally.writing, tally.perHour);
    std::fflush(m_out);
    m_tallyShown = true;
}

void StationRun::clearTally()
{
    if (!m_tallyShown)
        return;
    std::fputs("\r\x1b[2K", m_out);
    m_tallyShown = false;
}

void StationRun::summary()
{
    clearTally();
    const ProductionStation::Tally tally = m_station.tally();
    if (m_json) {
        QJsonObject object { { QStringLiteral("event"), QStringLiteral("summary") },
                             { QStringLiteral("done"), tally.done },
                             { QStringLiteral("failed"), tally.failed },
                             { QStringLiteral("skipped"), tally.skipped } };
        std::fprintf(m_out, "%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
    } else {
        std::fprintf(m_out, "Station ended: %d done, %d failed, %d skipped.\n", tally.done, tally.failed,
                     tally.skipped);
    }
    std::fflush(m_out);
}
