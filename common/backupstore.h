#ifndef BACKUPSTORE_H
#define BACKUPSTORE_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QVector>

// The firmware devices held before they were written, kept so that it can
// be put back. One file per content, named by its SHA-256 (two devices that
// held the same image share one file), in $XDG_DATA_HOME/Ordane/backups/,
// shared by both programs: the folder is the user's alone, each file is
// written whole under a temporary name and renamed, and a file whose bytes
// no longer match its name is never handed out as a backup.
//
// No widgets and no state beyond its folder and its last problem: a worker
// thread may store while the owner's thread lists.
class BackupStore
{
public:
    struct File
    {
        QString sha256;                 // lower-case hex, the file's name
        qint64 size = 0;
        QDateTime modified;             // when it was last stored (UTC)
    };

    enum Loaded {
        Ok,
        Missing,                        // no such file (removed, or never stored here)
        Tampered,                       // its bytes are not those its name says
        Unreadable                      // there, and cannot be read
    };

    explicit BackupStore(const QString &folder = defaultFolder());

    // Keeps `bytes`; its SHA-256 (hex), or empty when it could not be kept
    // (problem() says why). Storing a content already kept only freshens its
    // time; a file there whose bytes do not match is replaced.
    QString store(const QByteArray &bytes);
    // The backup named `sha256`, checked against its name.
    Loaded load(const QString &sha256, QByteArray *bytes);
    bool remove(const QString &sha256);
    // Every backup file, newest first (other files in the folder are not
    // backups and are left alone).
    QVector<File> files() const;
    qint64 totalBytes() const;

    QString folder() const { return m_folder; }
    QString pathOf(const QString &sha256) const;
    QString problem() const { return m_problem; }

    // 64 lower-case hex digits: a name the store may have given.
    static bool isName(const QString &name);
    static QString defaultFolder();
    // The settings key of the bound ([backups] max_mb=), and its default.
    static const char maxMegabytesKey[];
    static const int defaultMaxMegabytes = 2048;
    // What a user is told when the store holds more than `maxMegabytes`
    // after a backup; empty while it is within.
    QString overBound(int maxMegabytes) const;

private:
    bool makeFolder();

    QString m_folder;
    QString m_problem;
};

#endif // BACKUPSTORE_H
