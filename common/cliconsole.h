#ifndef CLICONSOLE_H
#define CLICONSOLE_H

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <cstdio>

class CliProgress;
class QCommandLineParser;
class UpdateOutcome;
class UpdateRecord;

// What the command-line tools have in common: --help, --version and
// --verbose; the engines' trace lines kept off the terminal unless asked
// for; a failure as one sentence on the error stream with its exit code;
// and the progress display.
class CliConsole : public QObject
{
    Q_OBJECT
public:
    CliConsole(const QString &program, const QString &helpText, std::FILE *out, std::FILE *err,
               QObject *parent = nullptr);

    // Adds the common options to `parser` and parses `arguments`. False when
    // the program is done already (help, version, or a wrong command line),
    // with its exit code in `exitCode`.
    bool parse(QCommandLineParser &parser, const QStringList &arguments, int *exitCode);

    // Refuses an option given to a command that does not take it, rather
    // than leave the user thinking it did something: `takenBy` names, for
    // each option of one or more commands, the commands that take it
    // (options not in it are everybody's). False, with ExitUsage in
    // `exitCode` and the reason said, when one does not belong.
    bool optionsFit(const QCommandLineParser &parser, const QString &command,
                    const QHash<QString, QStringList> &takenBy, int *exitCode);
    // Why `text` is not the SHA-256 an option must name (exactly 64
    // hexadecimal digits, either case), as the sentence a usage error says;
    // empty when it is one. An empty one (an unset variable in a script)
    // would otherwise pin nothing.
    static QString sha256Problem(const QString &text);

    // Prints "<program>: <sentence>" on the error stream; returns `code`.
    int fail(int code, const QString &sentence);
    // Prints "<program>: <sentence>" on the error stream, as a remark beside
    // the outcome (lastLine() stays the outcome's); a sentence said before is
    // not said again.
    void warn(const QString &sentence);
    // A line of its own on the output stream (after any progress bar).
    void note(const QString &line);
    CliProgress *progress() const { return m_progress; }
    // From now on notes and progress go to the error stream, keeping the
    // output stream for a machine-readable result.
    void divertOutput();
    // The last sentence of fail() or line of note().
    QString lastLine() const { return m_lastLine; }
    // Ends the update's history row with `outcome` and the last line said;
    // a history that could not be written is said once, on the error stream.
    void endRecord(UpdateRecord *record, const UpdateOutcome &outcome);

private:
    QString m_program;
    QString m_helpText;
    std::FILE *m_out;
    std::FILE *m_err;
    CliProgress *m_progress;
    QString m_lastLine;
    QSet<QString> m_warned;
};

#endif // CLICONSOLE_H
