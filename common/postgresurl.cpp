#include "postgresurl.h"

#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <iterator>

namespace {

// The connection parameters of PostgreSQL's client library (libpq), as of
// its version 17; host, port, dbname, user and password are read apart.
const char *const knownParameters[] = {
    "hostaddr", "passfile", "channel_binding", "connect_timeout", "client_encoding", "options",
    "application_name", "fallback_application_name", "keepalives", "keepalives_idle", "keepalives_interval",
    "keepalives_count", "tcp_user_timeout", "replication", "gssencmode", "sslmode", "requiressl", "sslcompression",
    "sslcert", "sslkey", "sslpassword", "sslrootcert", "sslcrl", "sslcrldir", "sslsni", "requirepeer",
    "ssl_min_protocol_version", "ssl_max_protocol_version", "krbsrvname", "gsslib", "gssdelegation", "service",
    "target_session_attrs", "load_balance_hosts", "require_auth", "sslcertmode", "sslnegotiation",
};

// Parameters whose values are secrets: never shown.
bool isSecret(const QString &name)
{
    return name == QLatin1String("password") || name == QLatin1String("sslpassword");
}

QString decoded(const QString &text)
{
    return QUrl::fromPercentEncoding(text.toUtf8());
}

// A value in the client library's connection string.
QString quoted(const QString &value)
{
    QString text = value;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

} // namespace

PostgresUrl PostgresUrl::parse(const QString &url)
{
    PostgresUrl parsed;
    const int colon = url.indexOf(QLatin1String("://"));
    parsed.m_scheme = colon > 0 ? url.left(colon) : QString();
    if (parsed.m_scheme != QLatin1String("postgresql") && parsed.m_scheme != QLatin1String("postgres")) {
        parsed.m_scheme.clear();
        parsed.m_problem = QStringLiteral("the URL is not postgresql://[user@]host[:port]/database");
        return parsed;
    }
    QString rest = url.mid(colon + 3);
    // The user's part ends at the last @ before the path: a password may
    // hold #, ?, : or @ as they are (only / must be written %2F).
    const int slash = rest.indexOf(QLatin1Char('/'));
    const int at = (slash < 0 ? rest : rest.left(slash)).lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = rest.left(at);
        const int separator = userInfo.indexOf(QLatin1Char(':'));
        parsed.m_user = decoded(userInfo.left(separator));
        if (separator >= 0)
            parsed.m_password = decoded(userInfo.mid(separator + 1));
        rest = rest.mid(at + 1);
    }
    int end = 0;
    if (rest.startsWith(QLatin1Char('['))) {
        end = rest.indexOf(QLatin1Char(']'));
        if (end < 0) {
            parsed.m_problem = QStringLiteral("the URL's host has no closing ]");
            return parsed;
        }
        parsed.m_host = rest.mid(1, end - 1);
        ++end;
    } else {
        while (end < rest.size() && !QStringLiteral(":/?,").contains(rest.at(end)))
            ++end;
        parsed.m_host = decoded(rest.left(end));
    }
    rest = rest.mid(end);
    if (rest.startsWith(QLatin1Char(','))) {
        parsed.m_problem = QStringLiteral("the URL names several hosts; name one");
        return parsed;
    }
    if (rest.startsWith(QLatin1Char(':'))) {
        int digits = 1;
        while (digits < rest.size() && rest.at(digits) != QLatin1Char('/') && rest.at(digits) != QLatin1Char('?'))
            ++digits;
        bool ok = false;
        parsed.m_port = rest.mid(1, digits - 1).toInt(&ok);
        // (The text is not repeated: a password cut by a mistake may be in it.)
        if (!ok || parsed.m_port < 1 || parsed.m_port > 65535) {
            parsed.m_port = 0;
            parsed.m_problem = QStringLiteral("the URL's port is not a number from 1 to 65535 (in a password, / is "
                                              "written %2F; in the settings file, a URL whose password holds ; goes "
                                              "in double quotes)");
            return parsed;
        }
        rest = rest.mid(digits);
    }
    const int question = rest.indexOf(QLatin1Char('?'));
    const QString path = question < 0 ? rest : rest.left(question);
    if (path.startsWith(QLatin1Char('/')))
        parsed.m_database = decoded(path.mid(1));
    if (question < 0)
        return parsed;
    for (const QString &pair : rest.mid(question + 1).split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const int equals = pair.indexOf(QLatin1Char('='));
        const QString name = decoded(pair.left(equals));
        const QString value = equals < 0 ? QString() : decoded(pair.mid(equals + 1));
        if (name == QLatin1String("host"))
            parsed.m_host = value;
        else if (name == QLatin1String("dbname"))
            parsed.m_database = value;
        else if (name == QLatin1String("user"))
            parsed.m_user = value;
        else if (name == QLatin1String("password"))
            parsed.m_password = value;
        else if (name == QLatin1String("port")) {
            bool ok = false;
            parsed.m_port = value.toInt(&ok);
            if (!ok || parsed.m_port < 1 || parsed.m_port > 65535) {
                parsed.m_port = 0;
                parsed.m_problem = QStringLiteral("the URL's port is not a number from 1 to 65535");
                return parsed;
            }
        } else if (name == QLatin1String("ssl") && value == QLatin1String("true")) {
            // As the client library takes it, for other clients' URLs.
            parsed.m_parameters.append({ QStringLiteral("sslmode"), QStringLiteral("require") });
        } else if (std::find_if(std::begin(knownParameters), std::end(knownParameters),
                                [&name](const char *known) { return name == QLatin1String(known); })
                   == std::end(knownParameters)) {
            parsed.m_problem = QStringLiteral("the URL's parameter \"%1\" is not one of PostgreSQL's connection "
                                              "parameters").arg(name);
            return parsed;
        } else if (value.contains(QLatin1Char(';'))) {
            // Qt's driver takes the options apart at every ;.
            parsed.m_problem = QStringLiteral("the URL's parameter \"%1\" holds a ;, which cannot be passed on")
                                   .arg(name);
            return parsed;
        } else {
            parsed.m_parameters.append({ name, value });
        }
    }
    return parsed;
}

QString PostgresUrl::shown() const
{
    if (m_scheme.isEmpty())
        return QStringLiteral("postgresql://…");
    QString text = m_scheme + QLatin1String("://");
    if (!m_user.isEmpty())
        text += m_user + (m_password.isEmpty() ? QString() : QStringLiteral(":****")) + QLatin1Char('@');
    else if (!m_password.isEmpty())
        text += QStringLiteral(":****@");
    text += m_host.contains(QLatin1Char(':')) ? QLatin1Char('[') + m_host + QLatin1Char(']') : m_host;
    if (m_port > 0)
        text += QLatin1Char(':') + QString::number(m_port);
    text += QLatin1Char('/') + m_database;
    QStringList parameters;
    for (const auto &parameter : m_parameters) {
        if (!isSecret(parameter.first))
            parameters << parameter.first + QLatin1Char('=') + parameter.second;
    }
    if (!parameters.isEmpty())
        text += QLatin1Char('?') + parameters.join(QLatin1Char('&'));
    return text;
}

QString PostgresUrl::connectOptions(const QString &defaults) const
{
    QStringList options { defaults };
    for (const auto &parameter : m_parameters)
        options << parameter.first + QLatin1Char('=') + quoted(parameter.second);
    return options.join(QLatin1Char(';'));
}
