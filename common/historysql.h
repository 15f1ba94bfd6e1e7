#ifndef HISTORYSQL_H
#define HISTORYSQL_H

#include <QString>

class QSqlDatabase;
class QSqlError;

// What the update history needs to know of its database's answers and of
// the processes that write it.
class HistorySql
{
public:
    static QString userName();
    // PostgreSQL's SQLSTATE for a statement cancelled by statement_timeout
    // (a lock another station holds).
    static bool isStatementTimeout(const QSqlError &error);
    // What the database said, on one line (a time-out said as one).
    static QString errorText(const QSqlError &error);
    // Keeps SQLite's write-ahead log between the processes that open the
    // history (see the definition).
    static void keepWriteAheadLog(const QSqlDatabase &db);
    // A file that is not a database, or a damaged one.
    static bool isCorruption(const QSqlError &error);
    // Another process holds the file: worth waiting for.
    static bool isBusy(const QSqlError &error);
    // When process `pid` started, in clock ticks since the system started;
    // -1 when it cannot be read.
    static qint64 processStartTime(qint64 pid);

private:
    // SQLite's primary result code of a failed statement; 0 for another
    // driver's.
    static int sqliteCode(const QSqlError &error);
};

#endif // HISTORYSQL_H
