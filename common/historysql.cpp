#include "historysql.h"

#include "updatehistory.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <sqlite3.h>

#include <pwd.h>
#include <unistd.h>

QString HistorySql::userName()
{
    const struct passwd *entry = getpwuid(geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : qEnvironmentVariable("USER");
}

// PostgreSQL's SQLSTATE for a statement cancelled by statement_timeout (a
// lock another station holds).
bool HistorySql::isStatementTimeout(const QSqlError &error)
{
    return error.nativeErrorCode() == QLatin1String("57014");
}

// What the database said, on one line: the first of the server's (the
// others hint, or repeat it), without the driver's own, which adds nothing.
// A time-out is said as one.
QString HistorySql::errorText(const QSqlError &error)
{
    if (isStatementTimeout(error))
        return QStringLiteral("the history server did not answer within %1 s")
            .arg(UpdateHistory::statementTimeoutMs / 1000);
    const QString text = error.databaseText().trimmed().isEmpty() ? error.text() : error.databaseText();
    return text.trimmed().section(QLatin1Char('\n'), 0, 0).simplified();
}

// Each command line opens the history once: without this, closing it would
// copy the write-ahead log into the file, sync both and delete the log,
// and the next process would make and sync a new one, which doubled what
// the history costs an update. The log stays, and SQLite still copies it
// into the file once it has grown past wal_autocheckpoint pages, so it
// stays bounded. (Qt's driver uses the system's SQLite, the library linked
// here.)
void HistorySql::keepWriteAheadLog(const QSqlDatabase &db)
{
    const QVariant handle = db.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return;
    sqlite3 *connection = *static_cast<sqlite3 *const *>(handle.data());
    if (!connection)
        return;
    int keep = 1;
    sqlite3_db_config(connection, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_file_control(connection, "main", SQLITE_FCNTL_PERSIST_WAL, &keep);
}

// SQLite's primary result code of a failed statement (its extended codes
// carry the primary one in their low byte); 0 for another driver's.
int HistorySql::sqliteCode(const QSqlError &error)
{
    bool ok = false;
    const int code = error.nativeErrorCode().toInt(&ok);
    return ok ? code & 0xFF : 0;
}

// A file that is not a database, or a damaged one.
bool HistorySql::isCorruption(const QSqlError &error)
{
    const int code = sqliteCode(error);
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

// Another process holds the file: worth waiting for. SQLite answers so at
// once, without its busy wait, while another connection sets the journal
// mode up or in a lock upgrade that would deadlock.
bool HistorySql::isBusy(const QSqlError &error)
{
    const int code = sqliteCode(error);
    return code == SQLITE_BUSY || code == SQLITE_LOCKED;
}

// When process `pid` started, in clock ticks since the system started
// (field 22 of /proc/PID/stat); -1 when it cannot be read. With its id this
// names one process: an id is given again once its process has gone.
qint64 HistorySql::processStartTime(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.read(4096);
    // The command's name, in parentheses, may hold blanks and parentheses.
    const int close = text.lastIndexOf(')');
    if (close < 0)
        return -1;
    const QList<QByteArray> fields = text.mid(close + 2).split(' ');
    bool ok = false;
    const qint64 ticks = fields.value(22 - 3).toLongLong(&ok);
    return ok ? ticks : -1;
}
