#include "cliconsole.h"

#include "updateoutcome.h"
#include "updaterecord.h"
#include "cliprogress.h"
#include "exitcode.h"
#include "safetext.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

const char versionText[] = ORDANE_VERSION;

// The engines trace every step with debug and info lines, which would bury
// the progress and the one-sentence errors.
void warningsOnly(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(SafeText::forTerminal(text)));
}

} // namespace

CliConsole::CliConsole(const QString &program, const QString &helpText, std::FILE *out, std::FILE *err,
                       QObject *parent)
    : QObject(parent)
    , m_program(program)
    , m_helpText(helpText)
    , m_out(out)
    , m_err(err)
    , m_progress(new CliProgress(out, this))
{
}

bool CliConsole::parse(QCommandLineParser &parser, const QStringList &arguments, int *exitCode)
{
    const QCommandLineOption verbose(QStringLiteral("verbose"));
    const QCommandLineOption help(QStringList { QStringLiteral("h"), QStringLiteral("help") });
    const QCommandLineOption version(QStringList { QStringLiteral("v"), QStringLiteral("version") });
    parser.addOptions({ verbose, help, version });
    if (!parser.parse(arguments)) {
        QString why = parser.errorText();
        if (why.endsWith(QLatin1Char('.')))
            why.chop(1);
        *exitCode = fail(ExitUsage, why + QStringLiteral("; see %1 --help.").arg(m_program));
        return false;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        const QString text = parser.isSet(help) ? m_helpText : m_program + QLatin1Char(' ') + QLatin1String(versionText)
                                                                   + QLatin1Char('\n');
        std::fputs(qPrintable(text), m_out);
        std::fflush(m_out);
        *exitCode = ExitSuccess;
        return false;
    }
    if (!parser.isSet(verbose))
        qInstallMessageHandler(warningsOnly);
    return true;
}

bool CliConsole::optionsFit(const QCommandLineParser &parser, const QString &command,
                            const QHash<QString, QStringList> &takenBy, int *exitCode)
{
    for (const QString &name : parser.optionNames()) {
        const auto commands = takenBy.constFind(name);
        if (commands == takenBy.cend() || commands->contains(command))
            continue;
        *exitCode = fail(ExitUsage, QStringLiteral("--%1 goes with %2 only; see %3 --help.")
                                        .arg(name,
                                             commands->size() > 1 ? commands->mid(0, commands->size() - 1).join(QLatin1String(", "))
                                                     + QLatin1String(" and ") + commands->last()
                                                                  : commands->value(0),
                                             m_program));
        return false;
    }
    return true;
}

QString CliConsole::sha256Problem(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (hex.match(text).hasMatch())
        return QString();
    return QStringLiteral("--sha256 takes the image's SHA-256, 64 hexadecimal digits; \"%1\" is not one, so nothing "
                          "was sent.").arg(text);
}

void CliConsole::divertOutput()
{
    m_progress->finish();
    m_out = m_err;
    m_progress->setStream(m_err);
}

int CliConsole::fail(int code, const QString &sentence)
{
    m_lastLine = sentence;
    m_progress->finish();
    std::fprintf(m_err, "%s: %s\n", qPrintable(m_program), qPrintable(SafeText::forTerminal(sentence)));
    std::fflush(m_err);
    return code;
}

void CliConsole::warn(const QString &sentence)
{
    // A warning that holds for several devices is said once.
    if (m_warned.contains(sentence))
        return;
    m_warned.insert(sentence);
    m_progress->finish();
    std::fprintf(m_err, "%s: %s\n", qPrintable(m_program), qPrintable(SafeText::forTerminal(sentence)));
    std::fflush(m_err);
}

void CliConsole::note(const QString &line)
{
    m_lastLine = line;
    m_progress->finish();
    std::fprintf(m_out, "%s\n", qPrintable(SafeText::forTerminal(line)));
    std::fflush(m_out);
}

void CliConsole::endRecord(UpdateRecord *record, const UpdateOutcome &outcome)
{
    record->end(outcome, m_lastLine);
    if (!record->problem().isEmpty())
        warn(UpdateRecord::saying(record->problem()));
}
