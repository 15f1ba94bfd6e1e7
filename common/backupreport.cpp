#include "backupreport.h"

#include "backupstore.h"
#include "cliconsole.h"
#include "exitcode.h"
#include "updateoutcome.h"

#include <QHash>
#include <QSettings>
#include <QStringList>

BackupReport::BackupReport(UpdateHistory *history, BackupStore *store, CliConsole *console, std::FILE *out)
    : m_history(history)
    , m_store(store)
    , m_console(console)
    , m_out(out)
{
}

int BackupReport::maxMegabytes(const QString &settingsFile)
{
    bool ok = false;
    const int value = QSettings(settingsFile, QSettings::IniFormat)
                          .value(QLatin1String(BackupStore::maxMegabytesKey), BackupStore::defaultMaxMegabytes)
                          .toInt(&ok);
    return ok && value > 0 ? value : BackupStore::defaultMaxMegabytes;
}

QString BackupReport::storeTooLarge(const QString &settingsFile)
{
    return BackupStore().overBound(maxMegabytes(settingsFile));
}

bool BackupReport::findBackup(const QString &device, qint64 rowId, UpdateHistory::Entry *row, QByteArray *bytes,
                              UpdateOutcome *refusal)
{
    UpdateHistory::Filter filter;
    filter.withBackup = true;
    filter.limit = 1;
    if (rowId > 0)
        filter.id = rowId;
    else
        filter.device = device;
    QVector<UpdateHistory::Entry> rows;
    if (!m_history->read(filter, &rows)) {
        *refusal = UpdateOutcome(UpdateOutcome::Failed, m_history->problem());
        return false;
    }
    if (rows.isEmpty()) {
        *refusal = UpdateOutcome(UpdateOutcome::ImageRefused,
                                 rowId > 0 ? QStringLiteral("Row %1 of the history kept no backup (or there is no such "
                                                            "row); nothing was written.").arg(rowId)
                                           : QStringLiteral("No update of %1 in the history kept a backup; nothing was "
                                                            "written.").arg(device));
        return false;
    }
    *row = rows.first();
    switch (m_store->load(row->backupSha256, bytes)) {
    case BackupStore::Ok:
        return true;
    case BackupStore::Tampered:
        *refusal = UpdateOutcome(UpdateOutcome::WrongImage, m_store->problem());
        return false;
    default:
        *refusal = UpdateOutcome(UpdateOutcome::ImageRefused,
                                 m_store->problem() + QStringLiteral(" Nothing was written."));
        return false;
    }
}

int BackupReport::run(int pruneDays)
{
    UpdateHistory::Filter filter;
    filter.withBackup = true;
    QVector<UpdateHistory::Entry> rows;
    if (!m_history->read(filter, &rows))
        return m_console->fail(ExitFailure, m_history->problem());
    // The rows naming each file, newest first.
    QHash<QString, QVector<const UpdateHistory::Entry *>> users;
    for (const UpdateHistory::Entry &row : qAsConst(rows))
        users[row.backupSha256] << &row;
    if (pruneDays >= 0) {
        const QDateTime cutoff = QDateTime::currentDateTimeUtc().addDays(-pruneDays);
        int removed = 0;
        qint64 freed = 0;
        for (const BackupStore::File &file : m_store->files()) {
            // Kept while a row of the last days names it; a file no row
            // names (its history elsewhere, or turned off) while it was
            // stored within them.
            const auto used = users.value(file.sha256);
            const QDateTime newest = used.isEmpty() ? file.modified : used.first()->started;
            if (newest >= cutoff)
                continue;
            if (!m_store->remove(file.sha256))
                return m_console->fail(ExitFailure, m_store->problem());
            ++removed;
            freed += file.size;
        }
        m_console->note(QStringLiteral("Removed %1 backup%2 (%3 bytes) no update of the last %4 days used.")
                            .arg(removed)
                            .arg(removed == 1 ? QString() : QStringLiteral("s"))
                            .arg(freed)
                            .arg(pruneDays));
    }
    const QVector<BackupStore::File> files = m_store->files();
    qint64 total = 0;
    for (const BackupStore::File &file : files) {
        QStringList ids;
        for (const UpdateHistory::Entry *row : users.value(file.sha256))
            ids << QString::number(row->id);
        const QByteArray line = QStringLiteral("%1  %2  %3  %4\n")
                                    .arg(file.sha256)
                                    .arg(file.size, 10)
                                    .arg(file.modified.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                                    .arg(ids.isEmpty() ? QStringLiteral("(no row)")
                                                       : QStringLiteral("rows ") + ids.join(QLatin1Char(',')))
                                    .toLocal8Bit();
        std::fputs(line.constData(), m_out);
        total += file.size;
    }
    std::fflush(m_out);
    m_console->note(QStringLiteral("%1 backup%2, %3 bytes, in %4.")
                        .arg(files.size())
                        .arg(files.size() == 1 ? QString() : QStringLiteral("s"))
                        .arg(total)
                        .arg(m_store->folder()));
    return ExitSuccess;
}
