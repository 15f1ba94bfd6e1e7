#ifndef POSTGRESSERVER_H
#define POSTGRESSERVER_H

#include <QString>
#include <QTemporaryDir>

// A throw-away PostgreSQL server for one test: a new cluster in a temporary
// folder, listening on a Unix socket there and on a free port of loopback
// (without TLS), run as an unprivileged user (the postgres account when the
// test runs as root, since the server refuses root). Stopped and removed
// with the object.
class PostgresServer
{
public:
    PostgresServer();
    ~PostgresServer();
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;

    // False when no server could be started; why() says why.
    bool isValid() const { return m_running; }
    QString why() const { return m_why; }
    // postgresql://postgres@:<port>/postgres?host=<socket folder>
    QString url() const;
    // postgresql://postgres@127.0.0.1:<port>/postgres
    QString tcpUrl() const;
    // Stops the server at once, as a crash or a power cut would.
    bool stop();
    // Starts it again after stop(), with the data it had.
    bool start();

private:
    // Runs a server program as the server's user; false (why() says) on failure.
    bool run(const QString &program, const QStringList &arguments, int timeoutMs);

    QTemporaryDir m_dir;
    QString m_bin;
    bool m_asPostgres = false;
    bool m_made = false;
    bool m_running = false;
    int m_port = 0;
    QString m_why;
};

#endif // POSTGRESSERVER_H
