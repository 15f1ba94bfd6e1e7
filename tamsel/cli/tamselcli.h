#ifndef TAMSELCLI_H
#define TAMSELCLI_H

#include <QObject>
#include <QStringList>

#include <cstdio>

class CliConsole;
class CliProgress;
class Emitter;

// tamsel-cli: the pad's update from the command line, through the same
// transfers as the window and on the same adapter backends. Every failure
// ends in one sentence on the error stream and an exit code of its class
// (see exitcode.h).
class TamselCli : public QObject
{
    Q_OBJECT
public:
    TamselCli(std::FILE *out, std::FILE *err, QObject *parent = nullptr);

    // `arguments` as main() has them, the program name first.
    int run(const QStringList &arguments);

    static QString helpText();

private:
    int update(bool infrared, int address, const QString &imagePath);
    int fail(int code, const QString &sentence);

    CliConsole *m_console;
    CliProgress *m_progress;
    Emitter *m_emitter;
    QStringList m_errors;
    bool m_verify = false;
};

#endif // TAMSELCLI_H
