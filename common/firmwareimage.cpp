#include "firmwareimage.h"

#include "imagefile.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <sys/stat.h>

namespace {

// What identifies the file's content as the system sees it: the same size
// and modification time before and after the read mean no writer came in
// between.
bool sameFile(const struct stat &a, const struct stat &b)
{
    return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec
        && a.st_ino == b.st_ino;
}

QString changedWhileReadText(const QString &path)
{
    return QStringLiteral("The firmware image %1 changed while it was read; nothing was written. Try again once it is "
                          "written whole.").arg(path);
}

} // namespace

FirmwareImage FirmwareImage::read(const QString &path)
{
    FirmwareImage image;
    image.m_path = path;
    long size = -1;
    std::FILE *file = openImageFile(path, &size);
    if (!file) {
        image.m_error = errno;
        image.m_problem = imageOpenFailureText(path, image.m_error);
        return image;
    }
    image.m_opened = true;
    struct stat before {};
    struct stat after {};
    const bool measured = fstat(fileno(file), &before) == 0;
    QByteArray bytes(int(size), Qt::Uninitialized);
    const size_t got = size > 0 ? std::fread(bytes.data(), 1, size_t(size), file) : 0;
    // One byte more than measured means the file grew meanwhile.
    const bool grew = std::fgetc(file) != EOF;
    const bool failed = std::ferror(file);
    const int readError = errno;
    const bool unchanged = measured && fstat(fileno(file), &after) == 0 && sameFile(before, after);
    std::fclose(file);
    if (failed) {
        image.m_error = readError ? readError : EIO;
        image.m_problem = imageOpenFailureText(path, image.m_error);
        return image;
    }
    // No system error: the file is readable, only not still.
    if (got != size_t(size) || grew || !unchanged) {
        image.m_problem = changedWhileReadText(path);
        return image;
    }
    image = fromBytes(path, bytes);
    image.m_opened = true;
    return image;
}

FirmwareImage FirmwareImage::fromBytes(const QString &path, const QByteArray &bytes)
{
    FirmwareImage image;
    image.m_path = path;
    image.m_bytes = bytes;
    image.m_sha256 = QString::fromLatin1(digestOf(bytes));
    image.m_read = true;
    if (bytes.isEmpty())
        image.m_problem = emptyImageText(path);
    return image;
}

QString FirmwareImage::mismatchWith(const QString &expected) const
{
    const QString wanted = expected.trimmed().toLower();
    if (wanted == m_sha256)
        return QString();
    return QStringLiteral("The firmware image %1 is not the one named: its SHA-256 is %2, not %3; nothing was sent.")
        .arg(m_path, m_sha256, wanted);
}

FirmwareImage FirmwareImage::fromStream(const QString &path, std::FILE *file, const QByteArray &digest)
{
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, file);
        if (got == 0 || bytes.size() > largestImage)
            break;
        bytes.append(buffer, int(got));
    }
    FirmwareImage image = fromBytes(path, bytes);
    if (image.m_sha256.toLatin1() != digest) {
        image.m_read = false;
        image.m_problem = QStringLiteral("The firmware image %1 did not arrive whole from the command that started "
                                         "this update; nothing was written.")
                              .arg(path);
    }
    return image;
}

QString FirmwareImage::fileName() const
{
    return QFileInfo(m_path).fileName();
}

QByteArray FirmwareImage::digestOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}
