#ifndef CLIRUN_H
#define CLIRUN_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

class QProcess;

// One run of a command-line program as a user runs it, as its own process,
// while this thread's events go on (emulated and simulated devices answer
// on them).
struct CliRun
{
    int code = -1;                      // -2: killed by a signal; -1: did not end in time
    QByteArray out;
    QByteArray err;
    qint64 ms = 0;

    // `whileRunning` is called once the program has started; the run is
    // given up after `limitMs`.
    static CliRun run(const QString &program, const QStringList &arguments,
                      const std::function<void(QProcess &)> &whileRunning = {}, int limitMs = 60000);
    // Starts `program` with `arguments` in `process`, an argument that keeps
    // a file name's invalid bytes (FileNames) included: Qt 6 passes
    // arguments on as UTF-8 alone, so such a one goes through sh, which
    // execs the program.
    static void start(QProcess &process, const QString &program, const QStringList &arguments);
    // `program` with `arguments` as bash runs it into `| head -1`: the
    // arguments for "bash", which exits with the program's own status.
    static QStringList intoClosedPipe(const QString &program, const QStringList &arguments);
    // This process's environment for a program it runs, with the location
    // of the emulated devices passed on as it is.
    static QProcessEnvironment environment();
    // Sends `signal` to the program if it still runs.
    static void signal(QProcess &process, int signal);
    // What a failed run says: one sentence, "<program>: ...", on the last
    // line of stderr (a notice that the program is stopping may come first).
    bool saidOneSentence(const QByteArray &program) const;
    // The last line of what the program said, cut for a table.
    static QString lastLine(const QByteArray &text);
};

#endif // CLIRUN_H
