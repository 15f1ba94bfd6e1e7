#include "backupstore.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

#include <sys/stat.h>
#include <utime.h>

const char BackupStore::maxMegabytesKey[] = "backups/max_mb";

namespace {

QString hashOf(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

BackupStore::BackupStore(const QString &folder)
    : m_folder(folder)
{
}

QString BackupStore::defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Ordane/backups");
}

bool BackupStore::isName(const QString &name)
{
    if (name.size() != 64)
        return false;
    return std::all_of(name.begin(), name.end(), [](QChar c) {
        return (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || (c >= QLatin1Char('a') && c <= QLatin1Char('f'));
    });
}

QString BackupStore::pathOf(const QString &sha256) const
{
    return m_folder + QLatin1Char('/') + sha256;
}

bool BackupStore::makeFolder()
{
    // Firmware may hold keys or calibration: the folder is the user's alone,
    // whatever the umask.
    if (!QDir().mkpath(m_folder)) {
        m_problem = QStringLiteral("The backup folder %1 cannot be made.").arg(m_folder);
        return false;
    }
    ::chmod(QFile::encodeName(m_folder).constData(), 0700);
    return true;
}

QString BackupStore::store(const QByteArray &bytes)
{
    m_problem.clear();
    const QString sha256 = hashOf(bytes);
    if (!makeFolder())
        return QString();
    const QString path = pathOf(sha256);
    QByteArray kept;
    if (load(sha256, &kept) == Ok) {
        // Kept already: its time says it is still in use.
        ::utime(QFile::encodeName(path).constData(), nullptr);
        m_problem.clear();
        return sha256;
    }
    m_problem.clear();
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        m_problem = QStringLiteral("The backup %1 cannot be written: %2").arg(path, file.errorString());
        return QString();
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        m_problem = QStringLiteral("The backup %1 cannot be written: %2").arg(path, file.errorString());
        file.cancelWriting();
        return QString();
    }
    ::chmod(QFile::encodeName(path).constData(), 0600);
    return sha256;
}

BackupStore::Loaded BackupStore::load(const QString &sha256, QByteArray *bytes)
{
    bytes->clear();
    m_problem.clear();
    if (!isName(sha256)) {
        m_problem = QStringLiteral("\"%1\" is not the SHA-256 of a backup.").arg(sha256);
        return Missing;
    }
    QFile file(pathOf(sha256));
    if (!file.exists()) {
        m_problem = QStringLiteral("The backup %1 is not there.").arg(file.fileName());
        return Missing;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        m_problem = QStringLiteral("The backup %1 cannot be read: %2").arg(file.fileName(), file.errorString());
        return Unreadable;
    }
    QByteArray read = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_problem = QStringLiteral("The backup %1 cannot be read: %2").arg(file.fileName(), file.errorString());
        return Unreadable;
    }
    if (hashOf(read) != sha256) {
        m_problem = QStringLiteral("The backup %1 no longer holds what was stored (its SHA-256 is %2); it is "
                                   "not written to any device.")
                        .arg(file.fileName(), hashOf(read));
        return Tampered;
    }
    *bytes = read;
    return Ok;
}

bool BackupStore::remove(const QString &sha256)
{
    m_problem.clear();
    if (!isName(sha256))
        return false;
    QFile file(pathOf(sha256));
    if (file.exists() && !file.remove()) {
        m_problem = QStringLiteral("The backup %1 cannot be removed: %2").arg(file.fileName(), file.errorString());
        return false;
    }
    return true;
}

QVector<BackupStore::File> BackupStore::files() const
{
    QVector<File> found;
    const QFileInfoList infos = QDir(m_folder).entryInfoList(QDir::Files | QDir::NoSymLinks, QDir::Time);
    for (const QFileInfo &info : infos) {
        if (!isName(info.fileName()))
            continue;
        File file;
        file.sha256 = info.fileName();
        file.size = info.size();
        file.modified = info.lastModified().toUTC();
        found << file;
    }
    return found;
}

qint64 BackupStore::totalBytes() const
{
    qint64 total = 0;
    for (const File &file : files())
        total += file.size;
    return total;
}

QString BackupStore::overBound(int maxMegabytes) const
{
    const qint64 total = totalBytes();
    if (maxMegabytes <= 0 || total <= qint64(maxMegabytes) * 1024 * 1024)
        return QString();
    return QStringLiteral("The backups in %1 take %2 MiB, more than the %3 MiB allowed ([backups] max_mb); "
                          "\"vornic-cli backups --prune-older-than DAYS\" removes those no newer update uses.")
        .arg(m_folder)
        .arg((total + 1024 * 1024 - 1) / (1024 * 1024))
        .arg(maxMegabytes);
}
