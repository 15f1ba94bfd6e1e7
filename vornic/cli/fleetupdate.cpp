#include "fleetupdate.h"

#include "exitcode.h"
#include "firmwareimage.h"
#include "interruptsignal.h"
#include "safetext.h"
#include "updateoutcome.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QSet>
#include <QTimer>

#include <csignal>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

const int barWidth = 24;
const int signalLook = 100;             // ms between looks for Ctrl+C or SIGTERM
const int longestLine = 4096;           // bytes kept of a child's unfinished line
const int longestResult = 1 << 20;      // bytes kept of a child's result (one small JSON array)

// A child in a process group of its own: Ctrl+C at the terminal reaches
// only this process, which passes it on once. (Reaching every child too, a
// second copy would make each quit at once instead of stopping cleanly.)
// A child whose parent dies (killed, or its terminal gone) stops cleanly
// too, rather than writing on with nobody to see how it ends.
class OwnGroupProcess : public QProcess
{
public:
    explicit OwnGroupProcess(QObject *parent) : QProcess(parent)
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        // (Qt 6 takes the child's first steps as a function, Qt 5 as a
        // virtual.)
        setChildProcessModifier([parentPid = m_parent] { enterOwnGroup(parentPid); });
#endif
    }

protected:
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void setupChildProcess() override { enterOwnGroup(m_parent); }
#endif

private:
    // In the child, between fork and exec.
    static void enterOwnGroup(pid_t parent)
    {
        ::setpgid(0, 0);
        InterruptSignal::endWithParent(parent);
    }

    const pid_t m_parent = ::getpid();
};

} // namespace

FleetUpdate::FleetUpdate(std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_err(err)
    , m_display(out)
{
}

int FleetUpdate::run(const QString &program, const QStringList &devices, const QStringList &identifying,
                     const QString &imagePath, const QByteArray &image, const QStringList &childOptions, bool json)
{
    // With JSON on the output stream the lines for people go to the error
    // stream.
    m_display = json ? m_err : m_out;
    m_interactive = isatty(fileno(m_display)) == 1;
    InterruptSignal::install();

    QEventLoop loop;
    int running = 0;
    m_image = image;
    m_jobs.resize(devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        Job &job = m_jobs[i];
        job.device = devices.at(i);
        job.identifies = identifying.contains(job.device);
        job.state = QStringLiteral("starting");
        job.process = new OwnGroupProcess(this);
        connect(job.process, &QProcess::readyReadStandardOutput, this, [this, i] { readResult(m_jobs[i]); });
        connect(job.process, &QProcess::readyReadStandardError, this, [this, i] {
            readProgress(m_jobs[i]);
            show();
        });
        connect(job.process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
                [this, i, &running, &loop](int code, QProcess::ExitStatus status) {
                    Job &j = m_jobs[i];
                    readProgress(j);
                    readResult(j);
                    j.code = status == QProcess::NormalExit ? code : ExitFailure;
                    j.finished = true;
                    j.identified = true;
                    handOutImage();
                    show();
                    if (--running == 0)
                        loop.quit();
                });
        // A process that cannot start ends its device's wait too.
        connect(job.process, &QProcess::errorOccurred, this, [this, i, &running, &loop](QProcess::ProcessError error) {
            Job &j = m_jobs[i];
            if (error != QProcess::FailedToStart || j.finished)
                return;
            j.state = QStringLiteral("vornic-cli could not be started for this device: ") + j.process->errorString();
            j.code = ExitFailure;
            j.finished = true;
            j.identified = true;
            handOutImage();
            if (--running == 0)
                loop.quit();
        });
        ++running;
        // Every device gets the image as it was read once, here: a file
        // that changes meanwhile cannot give two devices two images.
        job.process->start(program, QStringList { QStringLiteral("update"), job.device, imagePath,
                                                   QStringLiteral("--json"), QStringLiteral("--image-on-stdin"),
                                                   QString::fromLatin1(FirmwareImage::digestOf(image)) }
                                        + childOptions);
    }
    handOutImage();

    // A signal to this process goes on to every device's process, once:
    // each stops cleanly, as it would alone.
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [this, &watch] {
        if (!InterruptSignal::requested())
            return;
        watch.stop();
        const int number = InterruptSignal::exitCode() - 128;
        for (const Job &job : qAsConst(m_jobs)) {
            if (!job.finished && job.process->processId() > 0)
                ::kill(pid_t(job.process->processId()), number > 0 ? number : SIGINT);
        }
        // Those still waiting for the image are told that none comes; only
        // now, when each already has its signal: a child that met the end
        // of the stream first would take it for the refusal of a device
        // named twice, and end as not started rather than stopped.
        if (!m_imageHandedOut) {
            m_imageHandedOut = true;
            for (const Job &job : qAsConst(m_jobs))
                job.process->closeWriteChannel();
        }
    });
    watch.start(signalLook);
    show();
    if (running > 0)
        loop.exec();
    watch.stop();
    show();
    if (!m_refusal.isEmpty())
        return -1;

    QJsonArray results;
    QSet<int> failures;
    for (const Job &job : qAsConst(m_jobs)) {
        const QJsonObject result = resultOf(job);
        results.append(result);
        if (job.code != ExitSuccess)
            failures.insert(job.code);
        // As for one device: a failure on the error stream. Each result
        // once: a held last line that is not the result comes first.
        // (The result holds the device's words as they were; shown escaped.)
        const QString message = SafeText::forTerminal(result.value(QStringLiteral("message")).toString());
        QString held = job.held;
        if (!held.isEmpty() && held != message && held != QLatin1String("vornic-cli: ") + message)
            std::fprintf(m_display, "%s: %s\n", qPrintable(job.device), qPrintable(held));
        std::fflush(m_display);
        std::FILE *stream = job.code == ExitSuccess ? m_display : m_err;
        std::fprintf(stream, "%s: %s\n", qPrintable(job.device), qPrintable(message));
        std::fflush(stream);
    }
    if (json) {
        std::fputs(QJsonDocument(results).toJson(QJsonDocument::Indented).constData(), m_out);
        std::fflush(m_out);
    }
    if (failures.isEmpty())
        return ExitSuccess;
    return failures.size() == 1 ? *failures.begin() : int(ExitFailure);
}

void FleetUpdate::handOutImage()
{
    if (m_imageHandedOut)
        return;
    QMap<QString, QString> named;           // the first device under each serial number
    for (const Job &job : qAsConst(m_jobs)) {
        // (Not before every process has been started.)
        if (!job.process || (job.identifies && !job.identified))
            return;
        if (job.serialNumber.isEmpty())
            continue;
        if (named.contains(job.serialNumber) && m_refusal.isEmpty())
            m_refusal = QStringLiteral("%1 and %2 name the same device (serial number %3); name each device once.")
                            .arg(named.value(job.serialNumber), job.device, job.serialNumber);
        named.insert(job.serialNumber, job.device);
    }
    m_imageHandedOut = true;
    // A process that ended (or never started) takes nothing; one that gets
    // no bytes writes nothing and ends.
    for (const Job &job : qAsConst(m_jobs)) {
        if (m_refusal.isEmpty() && !job.finished)
            job.process->write(m_image);
        job.process->closeWriteChannel();
    }
}

void FleetUpdate::readResult(Job &job)
{
    const QByteArray bytes = job.process->readAllStandardOutput();
    // More than any result is not one: the device's line then says what the
    // process last told, and its exit code still counts.
    if (job.resultTooLong || job.output.size() + bytes.size() > longestResult) {
        job.resultTooLong = true;
        job.output.clear();
        return;
    }
    job.output += bytes;
}

void FleetUpdate::readProgress(Job &job)
{
    job.pending += job.process->readAllStandardError();
    for (;;) {
        const int end = job.pending.indexOf('\n');
        if (end < 0)
            break;
        // (A child escapes what it says; a line is still one line here.)
        const QString line = SafeText::forTerminal(QString::fromUtf8(job.pending.left(end)).trimmed());
        job.pending.remove(0, end + 1);
        if (line.isEmpty())
            continue;
        if (job.identifies && !job.identified && line.startsWith(QLatin1String("identity "))) {
            job.serialNumber = line.mid(9);
            job.identified = true;
            handOutImage();
            continue;
        }
        if (line.startsWith(QLatin1String("progress ")) && line.endsWith(QLatin1Char('%')))
            job.percent = line.mid(9, line.size() - 10).toInt();
        else
            job.state = line.startsWith(QLatin1String("vornic-cli: ")) ? line.mid(12) : line;
        // In a log every line of every device, named by its device; its
        // last line waits, as it may be the result said at the end.
        if (!m_interactive) {
            if (!job.held.isEmpty())
                std::fprintf(m_display, "%s: %s\n", qPrintable(job.device), qPrintable(job.held));
            job.held = line;
        }
    }
    if (!m_interactive)
        std::fflush(m_display);
    // A child that never ends its line cannot grow this process.
    if (job.pending.size() > longestLine)
        job.pending = job.pending.right(longestLine);
}

void FleetUpdate::show()
{
    // On a terminal: one line per device, redrawn in place; a line never
    // wraps, or the redraw would climb too few lines. (In a log the
    // children's lines are passed on as they come.)
    if (!m_interactive)
        return;
    winsize size {};
    const int columns = ::ioctl(fileno(m_display), TIOCGWINSZ, &size) == 0 && size.ws_col > 20 ? size.ws_col : 80;
    int nameWidth = 0;
    for (const Job &job : qAsConst(m_jobs))
        nameWidth = qMax(nameWidth, int(job.device.size()));
    if (m_linesDrawn > 0)
        std::fprintf(m_display, "\x1b[%dA", m_linesDrawn);
    for (const Job &job : qAsConst(m_jobs)) {
        const int percent = qBound(0, job.percent, 100);
        const int filled = percent * barWidth / 100;
        const QString bar = QString(filled, QLatin1Char('#')) + QString(barWidth - filled, QLatin1Char('.'));
        const QString state = job.finished ? (job.code == 0 ? QStringLiteral("done") : QStringLiteral("failed"))
                                           : job.state;
        const QString line = QStringLiteral("%1 [%2] %3%  %4")
                                 .arg(job.device.leftJustified(nameWidth), bar)
                                 .arg(percent, 3)
                                 .arg(state);
        std::fprintf(m_display, "\x1b[2K%s\n", qPrintable(line.left(columns - 1)));
    }
    m_linesDrawn = m_jobs.size();
    std::fflush(m_display);
}

QJsonObject FleetUpdate::resultOf(const Job &job) const
{
    // The child's own record of its update, when it could give one.
    const QJsonArray array = QJsonDocument::fromJson(job.output).array();
    QJsonObject result = array.isEmpty() ? QJsonObject() : array.first().toObject();
    result.insert(QStringLiteral("device"), job.device);
    result.insert(QStringLiteral("exitCode"), job.code);
    // The child names its outcome as its history row does; a child that
    // could not say (it died, or never began) failed, or was stopped.
    if (!UpdateOutcome::isName(result.value(QStringLiteral("outcome")).toString()))
        result.insert(QStringLiteral("outcome"),
                      UpdateOutcome::nameOf(job.code >= 128 ? UpdateOutcome::Stopped : UpdateOutcome::Failed));
    if (!result.contains(QStringLiteral("message")) || result.value(QStringLiteral("message")).toString().isEmpty())
        result.insert(QStringLiteral("message"), job.state);
    if (!result.contains(QStringLiteral("verified")))
        result.insert(QStringLiteral("verified"), false);
    return result;
}
