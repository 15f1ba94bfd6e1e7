#include "historyreport.h"

#include "cliconsole.h"
#include "exitcode.h"
#include "historycolumns.h"
#include "safetext.h"

#include <QCommandLineParser>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

namespace {

// Every column's value of `row`, in the columns' order.
QStringList values(const UpdateHistory::Entry &row)
{
    QStringList values;
    for (const HistoryColumns::Column &column : HistoryColumns::all())
        values << column.value(row);
    return values;
}

} // namespace

void HistoryReport::addOptions(QCommandLineParser &parser, bool json)
{
    parser.addOption(QCommandLineOption(QStringLiteral("device"), QString(), QStringLiteral("device")));
    parser.addOption(QCommandLineOption(QStringLiteral("since"), QString(), QStringLiteral("date")));
    parser.addOption(QCommandLineOption(QStringLiteral("limit"), QString(), QStringLiteral("rows")));
    parser.addOption(QCommandLineOption(QStringLiteral("csv")));
    if (json)
        parser.addOption(QCommandLineOption(QStringLiteral("json")));
}

void HistoryReport::claimOptions(QHash<QString, QStringList> *takenBy, bool json)
{
    for (const char *name : { "device", "since", "limit", "csv", "json" }) {
        if (json || qstrcmp(name, "json") != 0)
            takenBy->insert(QString::fromLatin1(name), { QStringLiteral("history") });
    }
}

QDateTime HistoryReport::parseSince(const QString &text)
{
    // Checked whole here: Qt reads a date from the front of a longer text,
    // and the time after it was silently dropped.
    static const QRegularExpression form(QStringLiteral(
        "^(\\d{4}-\\d{2}-\\d{2})(?:[T ](\\d{2}:\\d{2}(?::\\d{2}(?:[.,]\\d{1,9})?)?)(Z|[+-]\\d{2}(?::?\\d{2})?)?)?$"));
    const QRegularExpressionMatch match = form.match(text);
    if (!match.hasMatch())
        return QDateTime();
    const QDate date = QDate::fromString(match.captured(1), Qt::ISODate);
    if (!date.isValid())
        return QDateTime();
    if (match.captured(2).isEmpty())
        return QDateTime(date, QTime(0, 0), Qt::LocalTime);
    QString clock = match.captured(2).replace(QLatin1Char(','), QLatin1Char('.'));
    // Qt takes milliseconds: finer digits are cut, not rounded.
    const int dot = clock.indexOf(QLatin1Char('.'));
    if (dot >= 0)
        clock = clock.left(dot + 4);
    QTime time = QTime::fromString(clock, QStringLiteral("HH:mm"));
    if (!time.isValid())
        time = QTime::fromString(clock, QStringLiteral("HH:mm:ss"));
    if (!time.isValid())
        time = QTime::fromString(clock.leftJustified(12, QLatin1Char('0')), QStringLiteral("HH:mm:ss.zzz"));
    if (!time.isValid())
        return QDateTime();
    const QString zone = match.captured(3);
    if (zone.isEmpty())
        return QDateTime(date, time, Qt::LocalTime);
    if (zone == QLatin1String("Z"))
        return QDateTime(date, time, Qt::UTC);
    const QString digits = QString(zone.mid(1)).remove(QLatin1Char(':'));
    const int hours = digits.left(2).toInt();
    const int minutes = digits.size() > 2 ? digits.mid(2, 2).toInt() : 0;
    if (hours > 23 || minutes > 59)
        return QDateTime();
    const int offset = (zone.at(0) == QLatin1Char('-') ? -1 : 1) * (hours * 3600 + minutes * 60);
    return QDateTime(date, time, Qt::OffsetFromUTC, offset);
}

QJsonArray HistoryReport::json(const QVector<UpdateHistory::Entry> &rows)
{
    QJsonArray array;
    for (const UpdateHistory::Entry &row : rows) {
        const QStringList texts = values(row);
        QJsonObject object;
        for (int i = 0; i < texts.size(); ++i)
            object.insert(QLatin1String(HistoryColumns::all().at(i).key), texts.at(i));
        object.insert(QStringLiteral("id"), row.id);
        object.insert(QStringLiteral("imageSize"), row.imageSize);
        object.insert(QStringLiteral("verified"), row.verified);
        if (row.backupSha256.isEmpty()) {
            object.insert(QStringLiteral("backupSha256"), QJsonValue());
            object.insert(QStringLiteral("backupSize"), QJsonValue());
        } else {
            object.insert(QStringLiteral("backupSize"), row.backupSize);
        }
        object.insert(QStringLiteral("restoredRow"), row.restoredRow > 0 ? QJsonValue(row.restoredRow) : QJsonValue());
        if (!row.ended.isValid())
            object.insert(QStringLiteral("ended"), QJsonValue());
        array.append(object);
    }
    return array;
}

QByteArray HistoryReport::csv(const QVector<UpdateHistory::Entry> &rows)
{
    QStringList keys;
    for (const HistoryColumns::Column &column : HistoryColumns::all())
        keys << QLatin1String(column.key);
    QByteArray text = keys.join(QLatin1Char(',')).toUtf8() + "\r\n";
    for (const UpdateHistory::Entry &row : rows) {
        QStringList texts = values(row);
        for (QString &value : texts)
            value = SafeText::forCsv(value);
        text += texts.join(QLatin1Char(',')).toUtf8() + "\r\n";
    }
    return text;
}

int HistoryReport::run(const QCommandLineParser &parser, UpdateHistory *history, std::FILE *out, CliConsole *console)
{
    UpdateHistory::Filter filter;
    filter.device = parser.value(QStringLiteral("device"));
    filter.limit = defaultLimit;
    if (parser.isSet(QStringLiteral("limit"))) {
        bool ok = false;
        filter.limit = parser.value(QStringLiteral("limit")).toInt(&ok);
        if (!ok || filter.limit < 0)
            return console->fail(ExitUsage, QStringLiteral("--limit takes a number of rows (0: every row)."));
    }
    if (parser.isSet(QStringLiteral("since"))) {
        filter.since = parseSince(parser.value(QStringLiteral("since")));
        if (!filter.since.isValid())
            return console->fail(ExitUsage, QStringLiteral("--since takes a date, YYYY-MM-DD, or a date and time, "
                                                           "YYYY-MM-DDTHH:MM[:SS] (local time, unless Z or an "
                                                           "offset such as +01:00 follows)."));
    }
    const bool json = parser.isSet(QStringLiteral("json"));
    const bool csv = parser.isSet(QStringLiteral("csv"));
    if (json && csv)
        return console->fail(ExitUsage, QStringLiteral("Give --json or --csv, not both."));
    QVector<UpdateHistory::Entry> rows;
    if (!history->read(filter, &rows))
        return console->fail(ExitFailure, history->problem());
    if (!history->problem().isEmpty())
        console->warn(history->problem());
    if (json) {
        std::fputs(QJsonDocument(HistoryReport::json(rows)).toJson(QJsonDocument::Indented).constData(), out);
    } else if (csv) {
        const QByteArray text = HistoryReport::csv(rows);
        std::fwrite(text.constData(), 1, size_t(text.size()), out);
    } else {
        const QVector<int> columns = HistoryColumns::terminalColumns();
        for (const UpdateHistory::Entry &row : qAsConst(rows)) {
            QByteArray line;
            for (int i = 0; i < columns.size(); ++i) {
                const int width = HistoryColumns::all().at(columns.at(i)).terminalWidth;
                const QByteArray text = SafeText::forTerminal(HistoryColumns::shown(columns.at(i), row)).toLocal8Bit();
                line += text + QByteArray(qMax(0, width - int(text.size())), ' ') + (i + 1 < columns.size() ? "  " : "\n");
            }
            std::fputs(line.constData(), out);
        }
        if (rows.isEmpty())
            console->warn(QStringLiteral("No update in the history %1.").arg(history->location()));
    }
    std::fflush(out);
    return ExitSuccess;
}
