#ifndef UPDATEHISTORY_H
#define UPDATEHISTORY_H

#include <QDateTime>
#include <QDeadlineTimer>
#include <QString>
#include <QVariant>
#include <QVector>

// The history of every update, kept in a database so that months later one
// can still tell which image a device holds, who wrote it, from which file,
// and whether it was verified. By default a SQLite file in the user's data
// folder ($XDG_DATA_HOME/Ordane/history.sqlite), private to the user; when
// the program's settings name a server ([history] url=postgresql://...),
// that server's database, shared by every station that names it.
//
// The history never stops an update: when it cannot be written, problem()
// says why and the caller says so once. A row is added when an update
// starts, saying "interrupted", and completed when it ends; a process that
// dies in between leaves that word behind. A history file that is not a
// database is set aside (renamed) and a new one started.
class QSqlError;
class QSqlQuery;

class UpdateHistory
{
public:
    struct Entry
    {
        qint64 id = -1;
        QDateTime started;              // UTC
        QDateTime ended;                // invalid while it runs (or when it died)
        QString program;
        QString version;
        QString road;                   // usb, serial, network, modbus, ir
        QString model;
        QString serialNumber;
        QString place;                  // USB port path, serial port, address:port, pad address
        QString imagePath;
        qint64 imageSize = 0;
        QString imageSha256;
        QString outcome;                // UpdateOutcome::name()
        bool verified = false;
        QString reason;                 // why not verified, or why it failed
        QString message;                // the last thing the user was told
        QString host;
        QString user;
        qint64 pid = 0;
        qint64 pidStart = 0;            // when that process started (see /proc/PID/stat); 0: not known
        QString backupSha256;           // what the device held before, kept in the backup store; empty: none
        qint64 backupSize = 0;
        qint64 restoredRow = 0;         // a restore: the row whose backup it wrote back; 0: not a restore
    };

    struct Filter
    {
        QString device;                 // a serial number, port path, serial port or address; empty: all
        QDateTime since;                // invalid: from the first
        QString program;                // empty: any program
        bool thisProcess = false;       // only the rows this process wrote
        int limit = 0;                  // 0: every row
        qint64 id = 0;                  // this row alone; 0: any
        bool withBackup = false;        // only rows that kept a backup
    };

    // `program` and `version` go into every row. The group [history] of
    // `settingsFile` (an INI file) may name a server (url=...), or turn the
    // writing of rows off (enabled=false; the rows kept are still read).
    UpdateHistory(const QString &program, const QString &version, const QString &settingsFile);
    ~UpdateHistory();
    UpdateHistory(const UpdateHistory &) = delete;
    UpdateHistory &operator=(const UpdateHistory &) = delete;

    // Adds the row of an update that starts (filling id, started, program,
    // version, host, user and pid). False when the history cannot be
    // written: problem() says why.
    bool begin(Entry *entry);
    // Opens the history ahead of the first row (nothing when rows are not
    // written); begin() opens it anyway.
    bool prepare() { return !m_enabled || open(); }
    // Writes what the update has learnt of its device and image into the
    // row, before the outcome is known (a process that dies later still
    // leaves them behind).
    bool describe(const Entry &entry);
    // Completes the row `entry.id` with what the update came to.
    bool finish(const Entry &entry);
    // The rows `filter` selects, newest first.
    bool read(const Filter &filter, QVector<Entry> *rows);

    // Why the history could not be read or written (or a file was set
    // aside); empty when all went well.
    QString problem() const { return m_problem.isEmpty() ? m_notice : m_problem; }
    // For a program that writes many updates (a window): problem() the
    // first time it is there, and again only once the history has worked
    // in between; empty otherwise.
    QString problemToSay();
    // After the history could not be opened or written, how long it waits
    // before it tries again (a window writes many updates; a server may
    // come back).
    void setRetryInterval(int ms) { m_retryIntervalMs = ms; }
    // The file, or the server's URL with any password masked.
    QString location() const;

    // The default file: $XDG_DATA_HOME/Ordane/history.sqlite.
    static QString defaultFile();
    // How long a connection to a server may take before the update goes
    // on without the history.
    static const int connectTimeoutSeconds = 3;
    // How long one statement on a server may take.
    static const int statementTimeoutMs = 5000;

private:
    bool open();
    bool openFile();
    bool openServer();
    // Creates the tables when they are not there, or adds what a newer
    // schema has; `failure`: what failed.
    bool migrate(QSqlError *failure = nullptr);
    // Makes the file, the user's alone, when it is not there.
    bool createFile();
    // Renames what stands where the history file belongs (`what` it is: not
    // a database, a link) to FILE.<kind>-<time>, so that a new one can
    // start; said in problem().
    bool setAside(const QString &what, const QString &kind = QStringLiteral("corrupt"));
    bool fail(const QString &what, const QString &why);
    // fail() for a statement that failed; the connection is opened anew
    // before it is used again.
    bool failOn(const QString &what, const QSqlQuery &query);
    bool failWith(const QString &what, const QSqlError &error);
    // Runs one statement that writes a row with `values` bound in order;
    // `id`: the id it returns.
    bool write(const QString &statement, const QVariantList &values, qint64 *id = nullptr);
    void closeConnection();

    QString m_connection;
    QString m_program;
    QString m_version;
    QString m_url;                      // empty: the SQLite file
    QString m_file;
    QString m_problem;
    QString m_notice;                   // a file set aside: said beside a success
    bool m_rowGone = false;             // the row to complete was not there
    quint64 m_fileDevice = 0;           // the file opened, should it be set aside
    quint64 m_fileInode = 0;
    bool m_enabled = true;              // [history] enabled=false: nothing is written
    bool m_open = false;
    bool m_broken = false;
    bool m_server = false;
    bool m_problemSaid = false;
    QDeadlineTimer m_nextTry;           // expired: may try to open
    int m_retryIntervalMs = 60000;
};

#endif // UPDATEHISTORY_H
