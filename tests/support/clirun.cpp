#include "clirun.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <csignal>

CliRun CliRun::run(const QString &program, const QStringList &arguments,
                   const std::function<void(QProcess &)> &whileRunning, int limitMs)
{
    QProcess process;
    process.setProcessEnvironment(environment());
    CliRun result;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    if (!process.waitForStarted())
        return result;
    if (whileRunning)
        whileRunning(process);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    result.ms = clock.elapsed();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished();
        return result;
    }
    result.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

QProcessEnvironment CliRun::environment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Set but empty, it would send every device file the program opens
    // (even /dev/urandom) to an emulation that is not there.
    if (qEnvironmentVariableIsEmpty("UMOCKDEV_DIR"))
        environment.remove(QStringLiteral("UMOCKDEV_DIR"));
    else
        environment.insert(QStringLiteral("UMOCKDEV_DIR"), qEnvironmentVariable("UMOCKDEV_DIR"));
    return environment;
}

QStringList CliRun::intoClosedPipe(const QString &program, const QStringList &arguments)
{
    // head leaves after the first line; whatever the program writes after
    // that goes into a pipe nobody reads.
    return QStringList { QStringLiteral("-c"), QStringLiteral("\"$0\" \"$@\" | head -1; exit ${PIPESTATUS[0]}"),
                         program }
        + arguments;
}

void CliRun::signal(QProcess &process, int signal)
{
    // A pid of 0 would signal this whole process group.
    if (process.state() == QProcess::Running && process.processId() > 0)
        ::kill(pid_t(process.processId()), signal);
}

bool CliRun::saidOneSentence(const QByteArray &program) const
{
    const QByteArray prefix = program + ": ";
    return err.count(prefix) == 1 && err.endsWith('\n') && err.mid(err.lastIndexOf('\n', -2) + 1).startsWith(prefix);
}

QString CliRun::lastLine(const QByteArray &text)
{
    const QString line = QString::fromUtf8(text).trimmed().section(QLatin1Char('\n'), -1);
    return line.size() > 90 ? line.left(87) + QLatin1String("...") : line;
}
