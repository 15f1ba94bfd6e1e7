#include "historycolumns.h"

#include <algorithm>

namespace {

QString utc(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODate) : QString();
}

QString local(const QDateTime &time)
{
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

using Entry = UpdateHistory::Entry;

} // namespace

const QVector<HistoryColumns::Column> &HistoryColumns::all()
{
    static const QVector<Column> columns {
        { "id", "Id", -1, 0, 6, [](const Entry &r) { return QString::number(r.id); }, nullptr },
        { "started", "Started", 0, 1, 19, [](const Entry &r) { return utc(r.started); },
          [](const Entry &r) { return local(r.started); } },
        { "ended", "Ended", -1, -1, 0, [](const Entry &r) { return utc(r.ended); }, nullptr },
        { "program", "Program", 10, -1, 0, [](const Entry &r) { return r.program; }, nullptr },
        { "version", "Version", -1, -1, 0, [](const Entry &r) { return r.version; }, nullptr },
        { "road", "Road", 5, -1, 0, [](const Entry &r) { return r.road; }, nullptr },
        { "model", "Model", 2, 3, 10, [](const Entry &r) { return r.model; }, nullptr },
        { "serialNumber", "Serial number", 3, 4, 10, [](const Entry &r) { return r.serialNumber; }, nullptr },
        { "place", "Where", 4, 5, 21, [](const Entry &r) { return r.place; }, nullptr },
        { "imagePath", "Image", 6, 7, 0, [](const Entry &r) { return r.imagePath; }, nullptr },
        { "imageSize", "Size", -1, -1, 0, [](const Entry &r) { return QString::number(r.imageSize); }, nullptr },
        { "sha256", "SHA-256", 7, -1, 0, [](const Entry &r) { return r.imageSha256; }, nullptr },
        { "outcome", "Outcome", 1, 2, 14, [](const Entry &r) { return r.outcome; }, nullptr },
        { "verified", "Verified", 8, -1, 0,
          [](const Entry &r) { return r.verified ? QStringLiteral("true") : QStringLiteral("false"); },
          [](const Entry &r) { return r.verified ? QStringLiteral("yes") : QStringLiteral("no"); } },
        { "reason", "Reason", -1, -1, 0, [](const Entry &r) { return r.reason; }, nullptr },
        { "message", "Message", 9, -1, 0, [](const Entry &r) { return r.message; }, nullptr },
        { "host", "Host", -1, -1, 0, [](const Entry &r) { return r.host; }, nullptr },
        { "user", "User", 11, -1, 0, [](const Entry &r) { return r.user; }, nullptr },
        // What the device held before: the name of its file in the backup
        // store (a person tells backups apart by their first digits).
        { "backupSha256", "Backup", 12, 6, 12, [](const Entry &r) { return r.backupSha256; },
          [](const Entry &r) { return r.backupSha256.left(12); } },
        { "backupSize", "Backup size", -1, -1, 0,
          [](const Entry &r) { return r.backupSha256.isEmpty() ? QString() : QString::number(r.backupSize); },
          nullptr },
        { "restoredRow", "Restores", 13, -1, 0,
          [](const Entry &r) { return r.restoredRow > 0 ? QString::number(r.restoredRow) : QString(); }, nullptr },
    };
    return columns;
}

QVector<int> HistoryColumns::ordered(int Column::*order)
{
    QVector<int> shown;
    for (int i = 0; i < all().size(); ++i) {
        if (all().at(i).*order >= 0)
            shown << i;
    }
    std::sort(shown.begin(), shown.end(), [order](int a, int b) { return all().at(a).*order < all().at(b).*order; });
    return shown;
}

QVector<int> HistoryColumns::windowColumns()
{
    return ordered(&Column::windowOrder);
}

QVector<int> HistoryColumns::terminalColumns()
{
    return ordered(&Column::terminalOrder);
}

QString HistoryColumns::shown(int column, const UpdateHistory::Entry &row)
{
    const Column &c = all().at(column);
    return c.shown ? c.shown(row) : c.value(row);
}

int HistoryColumns::indexOf(const char *key)
{
    for (int i = 0; i < all().size(); ++i) {
        if (qstrcmp(all().at(i).key, key) == 0)
            return i;
    }
    return -1;
}
