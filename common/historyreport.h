#ifndef HISTORYREPORT_H
#define HISTORYREPORT_H

#include "updatehistory.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QStringList>

#include <cstdio>

class CliConsole;
class QCommandLineParser;

// The history command of the command-line tools: `history [--device D]
// [--since DATE] [--limit N] [--json|--csv]`, newest first, as a table,
// JSON or CSV. The same rows, filters and columns for both programs.
class HistoryReport
{
public:
    // Adds the command's options (--device, --since, --limit, --csv, and
    // --json unless the program has its own).
    static void addOptions(QCommandLineParser &parser, bool json);
    // Notes in `takenBy` (see CliConsole::optionsFit) that those options
    // go with the history command only.
    static void claimOptions(QHash<QString, QStringList> *takenBy, bool json);
    // Reads `history` as the parsed options ask and prints it on `out`.
    // The exit code: 0, also for no rows; 2 for a wrong option; 1 when the
    // history cannot be read.
    static int run(const QCommandLineParser &parser, UpdateHistory *history, std::FILE *out, CliConsole *console);

    static QJsonArray json(const QVector<UpdateHistory::Entry> &rows);
    // A header line and one line per row, RFC 4180 quoting.
    static QByteArray csv(const QVector<UpdateHistory::Entry> &rows);
    // "YYYY-MM-DD" (from its midnight) or a date and time, ISO 8601
    // ("YYYY-MM-DDTHH:MM[:SS[.sss]]", a blank for the T), in local time
    // unless it ends in Z or an offset (+01:00); invalid for anything else.
    static QDateTime parseSince(const QString &text);
    // The rows shown when --limit is not given.
    static const int defaultLimit = 100;
};

#endif // HISTORYREPORT_H
