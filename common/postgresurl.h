#ifndef POSTGRESURL_H
#define POSTGRESURL_H

#include <QPair>
#include <QString>
#include <QVector>

// The address of a PostgreSQL server as the settings give it:
// postgresql://[user[:password]@][host][:port][/database][?name=value&...],
// read as PostgreSQL's client library reads it (parts percent-decoded), so
// that a password may hold # or ? as it is. Every connection parameter of
// that library may follow the ?, and goes to it as given (sslmode,
// sslrootcert, connect_timeout, application_name, ...); a name it does not
// know is refused by name rather than ignored.
class PostgresUrl
{
public:
    static PostgresUrl parse(const QString &url);

    // Empty when the URL can be used; else why not, without its password.
    QString problem() const { return m_problem; }
    // The URL as it may be shown: no password, in whatever form it came.
    QString shown() const;

    QString host() const { return m_host; }
    int port() const { return m_port; }
    QString database() const { return m_database; }
    QString user() const { return m_user; }
    QString password() const { return m_password; }
    // The other parameters, "name='value'" each, as the client library's
    // connection string takes them; they follow `defaults`, so that a
    // parameter given in the URL wins over the program's own.
    QString connectOptions(const QString &defaults) const;

private:
    QString m_problem;
    QString m_scheme;
    QString m_host;
    int m_port = 0;
    QString m_database;
    QString m_user;
    QString m_password;
    QVector<QPair<QString, QString>> m_parameters;
};

#endif // POSTGRESURL_H
