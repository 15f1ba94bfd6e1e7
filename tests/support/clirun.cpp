#include "clirun.h"

#include "filenames.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <csignal>

namespace {

bool keepsBytes(const QString &argument)
{
    return FileNames::encode(argument) != argument.toUtf8();
}

// `program` with `arguments` for sh, each argument that keeps a file name's
// invalid bytes spelt in octal for printf's %b (the script is ASCII).
QStringList throughShell(const QString &program, const QStringList &arguments)
{
    QString script = QStringLiteral("exec \"$0\"");
    QStringList plain;
    for (const QString &argument : arguments) {
        if (!keepsBytes(argument)) {
            plain << argument;
            script += QStringLiteral(" \"${%1}\"").arg(plain.size());
            continue;
        }
        QString octal;
        for (const char c : FileNames::encode(argument))
            octal += QString::asprintf("\\0%03o", uint(uchar(c)));
        script += QStringLiteral(" \"$(printf '%b' '%1')\"").arg(octal);
    }
    return QStringList { QStringLiteral("-c"), script, program } + plain;
}

} // namespace

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
    start(process, program, arguments);
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

void CliRun::start(QProcess &process, const QString &program, const QStringList &arguments)
{
    if (std::any_of(arguments.cbegin(), arguments.cend(), keepsBytes))
        process.start(QStringLiteral("/bin/sh"), throughShell(program, arguments));
    else
        process.start(program, arguments);
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
