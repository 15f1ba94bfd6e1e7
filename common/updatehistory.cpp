#include "updatehistory.h"

#include "filenames.h"
#include "historysql.h"
#include "postgresurl.h"
#include "updateoutcome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QSysInfo>
#include <QRandomGenerator>
#include <QThread>
#include <QVariant>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The schema this program writes; a history made by a newer program keeps
// its version (its tables only grow).
const int schemaVersion = 3;
// How long a writer waits for another one (eight processes of one
// several-devices update write at once).
const int busyTimeoutMs = 10000;
// Serialises the creation of the tables among stations sharing a server.
const char serverLockKey[] = "740305";

const char columns[] = "id, started, ended, program, version, road, model, serial_number, place, image_path, "
                       "image_size, image_sha256, outcome, verified, reason, message, host, user_name, pid, "
                       "pid_start, backup_sha256, backup_size, restored_row";

QString timeText(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

} // namespace

UpdateHistory::UpdateHistory(const QString &program, const QString &version, const QString &settingsFile)
    : m_connection(QStringLiteral("history-%1").arg(quintptr(this), 0, 16))
    , m_program(program)
    , m_version(version)
    , m_file(defaultFile())
{
    QSettings settings(settingsFile, QSettings::IniFormat);
    m_url = settings.value(QStringLiteral("history/url")).toString().trimmed();
    m_enabled = settings.value(QStringLiteral("history/enabled"), true).toBool();
}

UpdateHistory::~UpdateHistory()
{
    closeConnection();
}

void UpdateHistory::closeConnection()
{
    if (QSqlDatabase::contains(m_connection)) {
        QSqlDatabase::database(m_connection, false).close();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

QString UpdateHistory::defaultFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Ordane/history.sqlite");
}

QString UpdateHistory::location() const
{
    // A server's address never shows its password, in whatever form it came.
    return m_url.isEmpty() ? m_file : PostgresUrl::parse(m_url).shown();
}

bool UpdateHistory::fail(const QString &what, const QString &why)
{
    QString reason = why;
    while (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    m_problem = QStringLiteral("The update history (%1) could not be %2: %3.").arg(location(), what, reason);
    return false;
}

bool UpdateHistory::open()
{
    if (m_open && !m_broken)
        return true;
    // A server is not tried again at once: one that does not answer would
    // cost every update its connection timeout. Until then problem() still
    // says why. (A file costs nothing to try again.)
    if (!m_nextTry.hasExpired())
        return false;
    // (A connection that failed, and the queries on it, are gone by now.)
    closeConnection();
    m_broken = false;
    m_problem.clear();
    m_server = !m_url.isEmpty();
    m_open = m_server ? openServer() : openFile();
    if (!m_open)
        m_nextTry.setRemainingTime(m_server ? m_retryIntervalMs : 0);
    return m_open;
}

bool UpdateHistory::failOn(const QString &what, const QSqlQuery &query)
{
    return failWith(what, query.lastError());
}

bool UpdateHistory::failWith(const QString &what, const QSqlError &error)
{
    // The connection may be gone (a server restarted, a link cut): opened
    // anew rather than trusted again.
    m_broken = true;
    m_nextTry.setRemainingTime(m_server ? m_retryIntervalMs : 0);
    return fail(what, HistorySql::errorText(error));
}

bool UpdateHistory::write(const QString &statement, const QVariantList &values, qint64 *id)
{
    // A connection that worked before this statement may have gone since
    // (a window's, when the server restarted between two updates): opened
    // anew once, at once. One opened for this statement is not, nor one
    // that waited out the statement time-out (it would wait again).
    bool setAsideOnce = false;
    for (bool again = m_open && !m_broken;; again = false) {
        if (!open())
            return false;
        QSqlQuery query(QSqlDatabase::database(m_connection, false));
        // (A server prepares a statement before it runs it, and may time out
        // there already, on a lock another station holds: then nothing is run.)
        bool ok = query.prepare(statement);
        for (const QVariant &value : values)
            query.addBindValue(value);
        ok = ok && query.exec() && (!id || query.next());
        const qint64 found = ok && id ? query.value(0).toLongLong() : -1;
        // A row that comes back is not kept yet: SQLite commits when the
        // statement ends, and only then says that the disk is full.
        while (ok && id && query.next()) {
        }
        ok = ok && !query.lastError().isValid();
        // An update of a row that is not there (gone with a file set aside
        // meanwhile) keeps nothing either.
        ok = ok && (id || query.numRowsAffected() != 0);
        if (ok) {
            if (id)
                *id = found;
            return true;
        }
        const QSqlError error = query.lastError();
        query.finish();
        if (!error.isValid()) {
            m_rowGone = true;
            return false;
        }
        failWith(QStringLiteral("written"), error);
        // A file found damaged only now (its first pages were sound) is set
        // aside as one found so at the start; the row goes into a new one.
        if (!m_server && HistorySql::isCorruption(error) && !setAsideOnce) {
            setAsideOnce = true;
            closeConnection();
            m_open = false;
            if (!setAside(QStringLiteral("damaged (%1)").arg(HistorySql::errorText(error))))
                return false;
            m_nextTry = QDeadlineTimer();
            // A row begun in the damaged file is written whole into the new
            // one when the update ends.
            if (!id) {
                m_rowGone = true;
                return false;
            }
            continue;
        }
        if (!again || HistorySql::isStatementTimeout(error))
            return false;
        m_nextTry = QDeadlineTimer();
    }
}

QString UpdateHistory::problemToSay()
{
    if (problem().isEmpty() || m_problemSaid)
        return QString();
    m_problemSaid = true;
    return problem();
}

bool UpdateHistory::openFile()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return fail(QStringLiteral("opened"), QStringLiteral("Qt's SQLite driver is not installed (libqt5sql5-sqlite)"));
    // The folder and the file are this user's alone: the history names
    // devices, files and people.
    const QString folder = QFileInfo(m_file).absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder))
            return fail(QStringLiteral("created"), QString::fromLocal8Bit(std::strerror(errno)));
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    // A link where the file belongs would have SQLite make or open a
    // database wherever it points (with the mode of a new file there). A
    // folder on the way may be a link (a data folder on another disk); the
    // file itself is not.
    if (QFileInfo(m_file).isSymLink() && !setAside(QStringLiteral("a symbolic link"), QStringLiteral("link")))
        return false;
    // Nor its journals: a real one is never a link, so nothing is lost.
    for (const char *journal : { "-wal", "-shm" }) {
        const QString path = m_file + QLatin1String(journal);
        if (QFileInfo(path).isSymLink())
            QFile::remove(path);
    }
    if (!createFile())
        return false;

    // A process that finds another one making the file, or setting its
    // journal up, is told "locked" at once, without the busy wait that
    // every later write has: it tries again, for as long as a write would
    // wait.
    const QDeadlineTimer deadline(busyTimeoutMs);
    bool setAsideOnce = false;
    for (int attempt = 0;; ++attempt) {
        QSqlError error;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
            db.setDatabaseName(m_file);
            // Set as the file is opened, before any statement.
            db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
            if (!db.open())
                return fail(QStringLiteral("opened"), HistorySql::errorText(db.lastError()));
            HistorySql::keepWriteAheadLog(db);
            // Which file this is, should it have to be set aside.
            struct stat opened;
            if (::stat(FileNames::encode(m_file).constData(), &opened) == 0) {
                m_fileDevice = opened.st_dev;
                m_fileInode = opened.st_ino;
            }
            QSqlQuery query(db);
            // Readers never wait for a writer; a commit is kept unless the
            // power fails at once. The log is copied into the file every
            // 100 pages (some 25 updates), so that copy stays short and the
            // log small. The mode is set once, by the process that finds it
            // not set: setting it needs the file to itself.
            const bool journal = query.exec(QStringLiteral("PRAGMA journal_mode")) && query.next()
                && (query.value(0).toString() == QLatin1String("wal")
                    || query.exec(QStringLiteral("PRAGMA journal_mode=WAL")));
            if (journal && query.exec(QStringLiteral("PRAGMA synchronous=NORMAL"))
                && query.exec(QStringLiteral("PRAGMA wal_autocheckpoint=100"))) {
                query.finish();
                if (migrate(&error)) {
                    // (What an attempt before this one met is over.)
                    m_problem.clear();
                    return true;
                }
            } else {
                error = query.lastError();
                fail(QStringLiteral("opened"), HistorySql::errorText(error));
            }
            query.finish();
            db.close();
        }
        QSqlDatabase::removeDatabase(m_connection);
        if (HistorySql::isBusy(error) && !deadline.hasExpired()) {
            // Not all at the same moment again.
            QThread::msleep(5 + QRandomGenerator::global()->bounded(20 + 10 * qMin(attempt, 5)));
            continue;
        }
        if (!HistorySql::isCorruption(error) || setAsideOnce || !setAside(QStringLiteral("not a database")) || !createFile())
            return false;
        setAsideOnce = true;
    }
}

bool UpdateHistory::createFile()
{
    // Made here, so that it is the user's alone from the first byte
    // (SQLite gives its journals the file's mode); never through a link.
    const QByteArray path = FileNames::encode(m_file);
    const int fd = ::open(path.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd >= 0)
        ::close(fd);
    else if (errno != EEXIST)
        return fail(QStringLiteral("created"), QString::fromLocal8Bit(std::strerror(errno)));
    return true;
}

bool UpdateHistory::setAside(const QString &what, const QString &kind)
{
    const QByteArray path = FileNames::encode(m_file);
    struct stat now;
    if (::lstat(path.constData(), &now) != 0)
        return errno == ENOENT;
    // Another process found the same damage and set the file aside first:
    // what stands here now is its new one, which is sound.
    if (!S_ISLNK(now.st_mode) && m_fileInode != 0 && (now.st_dev != m_fileDevice || now.st_ino != m_fileInode))
        return true;
    // (Not QFile::rename, which follows a link, and never over another
    // file set aside in the same second.)
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMddTHHmmss"));
    QString aside;
    for (int n = 1;; ++n) {
        aside = QStringLiteral("%1.%2-%3").arg(m_file, kind, stamp) + (n > 1 ? QStringLiteral("-%1").arg(n) : QString());
        struct stat taken;
        if (::lstat(FileNames::encode(aside).constData(), &taken) != 0)
            break;
        if (n > 100)
            return fail(QStringLiteral("set aside"), QStringLiteral("it is %1, and cannot be renamed").arg(what));
    }
    if (::rename(path.constData(), FileNames::encode(aside).constData()) != 0)
        return fail(QStringLiteral("set aside"), QStringLiteral("it is %1, and cannot be renamed (%2)")
                                                     .arg(what, QString::fromLocal8Bit(std::strerror(errno))));
    QFile::remove(m_file + QStringLiteral("-wal"));
    QFile::remove(m_file + QStringLiteral("-shm"));
    m_fileInode = 0;
    // Said once, with the update's other messages; the history goes on.
    m_notice = QStringLiteral("The update history %1 was %2; it was set aside as %3 and a new one started.")
                   .arg(m_file, what, aside);
    return true;
}

bool UpdateHistory::openServer()
{
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return fail(QStringLiteral("opened"),
                    QStringLiteral("Qt's PostgreSQL driver is not installed (libqt5sql5-psql)"));
    const PostgresUrl url = PostgresUrl::parse(m_url);
    if (!url.problem().isEmpty())
        return fail(QStringLiteral("opened"), url.problem());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), m_connection);
    // A socket folder may come as ?host=/path, as libpq takes it.
    db.setHostName(url.host());
    if (url.port() > 0)
        db.setPort(url.port());
    db.setDatabaseName(url.database());
    db.setUserName(url.user());
    // Without one here, libpq looks in PGPASSWORD and ~/.pgpass.
    if (!url.password().isEmpty())
        db.setPassword(url.password());
    // A server that does not answer must not hold the update up: not while
    // connecting, and not later, when a link that went quiet would
    // otherwise keep a write waiting for as long as TCP retries. (What the
    // URL gives, sslmode and the like, follows and wins.)
    db.setConnectOptions(url.connectOptions(QStringLiteral("connect_timeout=%1;tcp_user_timeout=%2;keepalives_idle=%1;"
                                                           "keepalives_interval=1;keepalives_count=%1")
                                                .arg(connectTimeoutSeconds)
                                                .arg(connectTimeoutSeconds * 1000)));
    if (!db.open())
        return fail(QStringLiteral("opened"), HistorySql::errorText(db.lastError()));
    // Nor a server that answers but is stuck (a lock another station holds).
    QSqlQuery(db).exec(QStringLiteral("SET statement_timeout = %1").arg(statementTimeoutMs));
    // The server's notices ("relation ... already exists, skipping") would
    // otherwise reach the user's terminal through libpq: errors come back
    // with the statement, and what matters is said in problem().
    QSqlQuery(db).exec(QStringLiteral("SET client_min_messages = error"));
    return migrate();
}

bool UpdateHistory::migrate(QSqlError *failure)
{
    QSqlDatabase db = QSqlDatabase::database(m_connection, false);
    QSqlQuery query(db);
    const auto run = [&query](const QString &statement) { return query.exec(statement); };
    // One station or process creates the tables, in a write transaction;
    // the others wait for it, and then find them made.
    const bool locked = m_server ? run(QStringLiteral("BEGIN"))
            && run(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(QLatin1String(serverLockKey)))
                                 : run(QStringLiteral("BEGIN IMMEDIATE"));
    if (!locked) {
        if (failure)
            *failure = query.lastError();
        return fail(QStringLiteral("opened"), HistorySql::errorText(query.lastError()));
    }
    const QString id = m_server ? QStringLiteral("BIGSERIAL PRIMARY KEY") : QStringLiteral("INTEGER PRIMARY KEY");
    bool ok = run(QStringLiteral("CREATE TABLE IF NOT EXISTS history_schema (version INTEGER NOT NULL)"))
        && run(QStringLiteral("SELECT MAX(version) FROM history_schema"));
    const int found = ok && query.next() ? query.value(0).toInt() : 0;
    if (ok && found < 1) {
        ok = run(QStringLiteral("CREATE TABLE IF NOT EXISTS updates (id %1, started TEXT NOT NULL, ended TEXT, "
                                "program TEXT NOT NULL, version TEXT NOT NULL, road TEXT, model TEXT, "
                                "serial_number TEXT, place TEXT, image_path TEXT, image_size BIGINT, "
                                "image_sha256 TEXT, outcome TEXT NOT NULL, verified INTEGER NOT NULL DEFAULT 0, "
                                "reason TEXT, message TEXT, host TEXT, user_name TEXT, pid BIGINT, pid_start BIGINT, "
                                "backup_sha256 TEXT, backup_size BIGINT, restored_row BIGINT)")
                     .arg(id))
            && run(QStringLiteral("CREATE INDEX IF NOT EXISTS updates_by_serial ON updates (serial_number, started)"))
            && run(QStringLiteral("CREATE INDEX IF NOT EXISTS updates_by_place ON updates (place, started)"))
            && run(QStringLiteral("CREATE INDEX IF NOT EXISTS updates_by_time ON updates (started)"));
    } else {
        // The first history kept only the process id; an id is given again
        // once its process has gone, so its start time goes beside it.
        if (ok && found < 2)
            ok = run(QStringLiteral("ALTER TABLE updates ADD COLUMN pid_start BIGINT"));
        // What the device held before, when it was backed up, and which
        // row a restore put back.
        if (ok && found < 3)
            ok = run(QStringLiteral("ALTER TABLE updates ADD COLUMN backup_sha256 TEXT"))
                && run(QStringLiteral("ALTER TABLE updates ADD COLUMN backup_size BIGINT"))
                && run(QStringLiteral("ALTER TABLE updates ADD COLUMN restored_row BIGINT"));
    }
    if (ok && found < schemaVersion)
        ok = run(QStringLiteral("INSERT INTO history_schema (version) VALUES (%1)").arg(schemaVersion));
    if (!ok) {
        const QSqlError error = query.lastError();
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        if (failure)
            *failure = error;
        return fail(QStringLiteral("opened"), HistorySql::errorText(error));
    }
    if (!run(QStringLiteral("COMMIT"))) {
        if (failure)
            *failure = query.lastError();
        return fail(QStringLiteral("opened"), HistorySql::errorText(query.lastError()));
    }
    return true;
}

bool UpdateHistory::begin(Entry *entry)
{
    if (!m_enabled)
        return true;
    if (m_open && !m_broken) {
        m_problem.clear();
        m_notice.clear();
    }
    entry->started = QDateTime::currentDateTimeUtc();
    entry->program = m_program;
    entry->version = m_version;
    entry->host = QSysInfo::machineHostName();
    entry->user = HistorySql::userName();
    entry->pid = QCoreApplication::applicationPid();
    entry->pidStart = HistorySql::processStartTime(entry->pid);
    entry->outcome = UpdateOutcome::nameOf(UpdateOutcome::Interrupted);
    entry->id = -1;
    return write(QStringLiteral("INSERT INTO updates (started, program, version, road, model, serial_number, place, "
                                "image_path, image_size, image_sha256, outcome, verified, host, user_name, pid, "
                                "pid_start, restored_row) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?, ?, ?, ?, ?) "
                                "RETURNING id"),
                 { timeText(entry->started), entry->program, entry->version, entry->road, entry->model,
                   entry->serialNumber, entry->place, entry->imagePath, entry->imageSize, entry->imageSha256,
                   entry->outcome, entry->host, entry->user, entry->pid, entry->pidStart, entry->restoredRow },
                 &entry->id);
}

bool UpdateHistory::describe(const Entry &entry)
{
    if (!m_enabled)
        return true;
    return entry.id >= 0
        && write(QStringLiteral("UPDATE updates SET road = ?, model = ?, serial_number = ?, place = ?, "
                                "image_path = ?, image_size = ?, image_sha256 = ?, backup_sha256 = ?, backup_size = ?, "
                                "restored_row = ? WHERE id = ?"),
                 { entry.road, entry.model, entry.serialNumber, entry.place, entry.imagePath, entry.imageSize,
                   entry.imageSha256, entry.backupSha256, entry.backupSize, entry.restoredRow, entry.id });
}

bool UpdateHistory::finish(const Entry &entry)
{
    if (!m_enabled)
        return true;
    m_rowGone = false;
    const QString ended = timeText(QDateTime::currentDateTimeUtc());
    bool ok = entry.id >= 0
        && write(QStringLiteral("UPDATE updates SET ended = ?, road = ?, model = ?, serial_number = ?, place = ?, "
                                "image_path = ?, image_size = ?, image_sha256 = ?, outcome = ?, verified = ?, "
                                "reason = ?, message = ?, backup_sha256 = ?, backup_size = ?, restored_row = ? "
                                "WHERE id = ?"),
                 { ended, entry.road, entry.model, entry.serialNumber, entry.place, entry.imagePath, entry.imageSize,
                   entry.imageSha256, entry.outcome, entry.verified ? 1 : 0, entry.reason, entry.message,
                   entry.backupSha256, entry.backupSize, entry.restoredRow, entry.id });
    // Its row is not where it was begun (the file was set aside meanwhile,
    // or could not be written when the update started): written whole now.
    if (!ok && (m_rowGone || entry.id < 0)) {
        qint64 id = -1;
        ok = write(QStringLiteral("INSERT INTO updates (started, ended, program, version, road, model, serial_number, "
                                  "place, image_path, image_size, image_sha256, outcome, verified, reason, message, "
                                  "host, user_name, pid, pid_start, backup_sha256, backup_size, restored_row) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                                  "RETURNING id"),
                   { timeText(entry.started.isValid() ? entry.started : QDateTime::currentDateTimeUtc()), ended,
                     m_program, m_version, entry.road, entry.model, entry.serialNumber, entry.place, entry.imagePath,
                     entry.imageSize, entry.imageSha256, entry.outcome, entry.verified ? 1 : 0, entry.reason,
                     entry.message, QSysInfo::machineHostName(), HistorySql::userName(), QCoreApplication::applicationPid(),
                     entry.pidStart, entry.backupSha256, entry.backupSize, entry.restoredRow },
                   &id);
    }
    if (!ok)
        return false;
    // Working again: its next problem is news.
    if (m_problem.isEmpty())
        m_problemSaid = false;
    return true;
}

bool UpdateHistory::read(const Filter &filter, QVector<Entry> *rows)
{
    rows->clear();
    // Turned off, and none kept before: nothing to show, and no file made.
    if (!m_enabled && m_url.isEmpty() && !QFileInfo::exists(m_file))
        return true;
    if (!open())
        return false;
    QString statement = QStringLiteral("SELECT %1 FROM updates WHERE 1 = 1").arg(QLatin1String(columns));
    QVariantList values;
    if (!filter.device.isEmpty()) {
        // An address matches with any port. The name is matched as it is
        // written: % and _ in it are no wildcards.
        // (Not a backslash for the escape: the statement's text is read for
        // placeholders by Qt, and the servers read backslashes each their way.)
        QString literal = filter.device;
        literal.replace(QLatin1String("!"), QLatin1String("!!"))
            .replace(QLatin1String("%"), QLatin1String("!%"))
            .replace(QLatin1String("_"), QLatin1String("!_"));
        statement += QStringLiteral(" AND (serial_number = ? OR place = ? OR place LIKE ? ESCAPE '!')");
        values << filter.device << filter.device << QString(literal + QStringLiteral(":%"));
    }
    if (filter.since.isValid()) {
        statement += QStringLiteral(" AND started >= ?");
        values << timeText(filter.since);
    }
    if (!filter.program.isEmpty()) {
        statement += QStringLiteral(" AND program = ?");
        values << filter.program;
    }
    if (filter.id > 0) {
        statement += QStringLiteral(" AND id = ?");
        values << filter.id;
    }
    if (filter.withBackup)
        statement += QStringLiteral(" AND backup_sha256 IS NOT NULL AND backup_sha256 <> ''");
    if (filter.thisProcess) {
        statement += QStringLiteral(" AND host = ? AND pid = ?");
        values << QSysInfo::machineHostName() << QCoreApplication::applicationPid();
    }
    statement += QStringLiteral(" ORDER BY started DESC, id DESC");
    if (filter.limit > 0)
        statement += QStringLiteral(" LIMIT %1").arg(filter.limit);
    QSqlQuery query(QSqlDatabase::database(m_connection, false));
    query.setForwardOnly(true);
    const bool prepared = query.prepare(statement);
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    if (!prepared || !query.exec())
        return failOn(QStringLiteral("read"), query);
    const QString host = QSysInfo::machineHostName();
    while (query.next()) {
        Entry entry;
        entry.id = query.value(0).toLongLong();
        entry.started = QDateTime::fromString(query.value(1).toString(), Qt::ISODateWithMs);
        entry.ended = QDateTime::fromString(query.value(2).toString(), Qt::ISODateWithMs);
        entry.program = query.value(3).toString();
        entry.version = query.value(4).toString();
        entry.road = query.value(5).toString();
        entry.model = query.value(6).toString();
        entry.serialNumber = query.value(7).toString();
        entry.place = query.value(8).toString();
        entry.imagePath = query.value(9).toString();
        entry.imageSize = query.value(10).toLongLong();
        entry.imageSha256 = query.value(11).toString();
        entry.outcome = query.value(12).toString();
        entry.verified = query.value(13).toInt() != 0;
        entry.reason = query.value(14).toString();
        entry.message = query.value(15).toString();
        entry.host = query.value(16).toString();
        entry.user = query.value(17).toString();
        entry.pid = query.value(18).toLongLong();
        entry.pidStart = query.value(19).toLongLong();
        entry.backupSha256 = query.value(20).toString();
        entry.backupSize = query.value(21).toLongLong();
        entry.restoredRow = query.value(22).toLongLong();
        // Not ended, and its process still runs here: in progress, not
        // interrupted. The same id alone may be another process's by now;
        // (a row of the first history has no start time to compare).
        if (!entry.ended.isValid() && entry.host == host && entry.pid > 0 && ::kill(pid_t(entry.pid), 0) == 0
            && (entry.pidStart <= 0 || HistorySql::processStartTime(entry.pid) == entry.pidStart))
            entry.outcome = UpdateOutcome::nameOf(UpdateOutcome::Running);
        rows->append(entry);
    }
    return true;
}
