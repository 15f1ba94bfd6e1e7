#include "postgresserver.h"

#include <QDir>
#include <QProcess>
#include <QTcpServer>

#include <pwd.h>
#include <unistd.h>

PostgresServer::PostgresServer()
{
    const QStringList versions = QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot,
                                                                                        QDir::Name | QDir::Reversed);
    if (versions.isEmpty()) {
        m_why = QStringLiteral("PostgreSQL is not installed (scripts/deps.sh installs it)");
        return;
    }
    m_bin = QStringLiteral("/usr/lib/postgresql/%1/bin/").arg(versions.first());
    if (!m_dir.isValid()) {
        m_why = QStringLiteral("no temporary folder");
        return;
    }
    if (geteuid() == 0) {
        const struct passwd *account = getpwnam("postgres");
        if (!account || ::chown(m_dir.path().toLocal8Bit().constData(), account->pw_uid, account->pw_gid) != 0) {
            m_why = QStringLiteral("no postgres account to run the server as");
            return;
        }
        m_asPostgres = true;
    }
    // A free port on loopback, for what only TCP has (TLS).
    {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0)) {
            m_why = QStringLiteral("no free port on loopback");
            return;
        }
        m_port = probe.serverPort();
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    if (!run(QStringLiteral("initdb"),
             { QStringLiteral("-D"), data, QStringLiteral("-A"), QStringLiteral("trust"), QStringLiteral("-U"),
               QStringLiteral("postgres"), QStringLiteral("--no-sync"), QStringLiteral("--no-locale"),
               QStringLiteral("-E"), QStringLiteral("UTF8") },
             60000))
        return;
    m_made = true;
    start();
}

bool PostgresServer::start()
{
    if (!m_made || m_running)
        return m_running;
    m_running = run(QStringLiteral("pg_ctl"),
                    { QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-l"),
                      m_dir.filePath(QStringLiteral("log")), QStringLiteral("-o"),
                      QStringLiteral("-k %1 -c listen_addresses=127.0.0.1 -p %2 -F").arg(m_dir.path()).arg(m_port),
                      QStringLiteral("-w"),
                      QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("start") },
                    70000);
    return m_running;
}

PostgresServer::~PostgresServer()
{
    stop();
}

QString PostgresServer::url() const
{
    return QStringLiteral("postgresql://postgres@:%1/postgres?host=%2").arg(m_port).arg(m_dir.path());
}

QString PostgresServer::tcpUrl() const
{
    return QStringLiteral("postgresql://postgres@127.0.0.1:%1/postgres").arg(m_port);
}

bool PostgresServer::stop()
{
    if (!m_running)
        return true;
    m_running = !run(QStringLiteral("pg_ctl"),
                     { QStringLiteral("-D"), m_dir.filePath(QStringLiteral("data")), QStringLiteral("-m"),
                       QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop") },
                     30000);
    return !m_running;
}

bool PostgresServer::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_dir.path());
    if (m_asPostgres)
        process.start(QStringLiteral("setpriv"), QStringList { QStringLiteral("--reuid=postgres"),
                                                               QStringLiteral("--regid=postgres"),
                                                               QStringLiteral("--clear-groups"), m_bin + program }
                                                     + arguments);
    else
        process.start(m_bin + program, arguments);
    if (!process.waitForFinished(timeoutMs) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        m_why = QStringLiteral("%1 failed: %2").arg(program, QString::fromLocal8Bit(process.readAll()).trimmed());
        return false;
    }
    return true;
}
