#ifndef FIRMWAREIMAGE_H
#define FIRMWAREIMAGE_H

#include <QByteArray>
#include <QString>

#include <cstdio>

// A firmware image as it was read, once, at the start of an update. Every
// road sends these bytes and checks against them, whatever becomes of the
// file meanwhile: a build writing its output, an editor saving or a copy
// over it must never leave a device with the start of one image and the
// rest of another.
class FirmwareImage
{
public:
    FirmwareImage() = default;

    // Reads the whole file at `path`. A file that cannot be opened, is not
    // a regular file, is too large or changes while it is read is no image:
    // isRead() is false and problem() says why.
    static FirmwareImage read(const QString &path);
    // Bytes read elsewhere (the parent of a several-devices update hands
    // its one reading to every device's process), under the path they came
    // from. Empty bytes are an empty image.
    static FirmwareImage fromBytes(const QString &path, const QByteArray &bytes);
    // The whole of `file` (the standard input a several-devices update
    // hands each device's process), under `path`; unless its SHA-256 is
    // `digest`, it is no image (its sender may have been killed while it
    // wrote). More than any image is cut off, and then refused as too large.
    static FirmwareImage fromStream(const QString &path, std::FILE *file, const QByteArray &digest);

    bool isRead() const { return m_read; }
    QString path() const { return m_path; }
    // The SHA-256 of `bytes`, in lower-case hex.
    static QByteArray digestOf(const QByteArray &bytes);
    // The image's SHA-256 (lower-case hex), taken once when it was read;
    // empty for no image.
    QString sha256() const { return m_sha256; }
    // Empty when the image is the one `expected` (a SHA-256 in hex, either
    // case) names; else why it is not, in one sentence.
    QString mismatchWith(const QString &expected) const;
    // The file's name without its folders: what decides how it is written.
    QString fileName() const;
    const QByteArray &bytes() const { return m_bytes; }
    int size() const { return m_bytes.size(); }
    bool isEmpty() const { return m_bytes.isEmpty(); }
    // Why the image cannot be written (it could not be read, or is empty),
    // in one sentence; empty when it can.
    QString problem() const { return m_problem; }
    // The system's error number when the file could not be opened or read,
    // else 0 (also for a file that changed while it was read).
    int error() const { return m_error; }
    // The file was opened: an error() came from reading it.
    bool wasOpened() const { return m_opened; }

private:
    QString m_path;
    QByteArray m_bytes;
    QString m_problem;
    QString m_sha256;
    int m_error = 0;
    bool m_opened = false;
    bool m_read = false;
};

#endif // FIRMWAREIMAGE_H
