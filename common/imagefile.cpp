#include "imagefile.h"

#include "filenames.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::FILE *openImageFile(const QString &path, long *size)
{
    // Opened without blocking and looked at before anything is read: the
    // open of a pipe with no writer would otherwise wait for ever.
    const int fd = ::open(FileNames::encode(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat info;
    int problem = 0;
    if (fstat(fd, &info) != 0)
        problem = errno;
    else if (S_ISDIR(info.st_mode))
        problem = EISDIR;
    else if (!S_ISREG(info.st_mode))
        problem = notRegularFile;
    else if (info.st_size > largestImage)
        problem = EFBIG;
    std::FILE *file = nullptr;
    if (!problem && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
        file = fdopen(fd, "rb");
    if (!file) {
        if (!problem)
            problem = errno;
        ::close(fd);
        errno = problem;
        return nullptr;
    }
    *size = long(info.st_size);
    return file;
}

QString imageOpenFailureText(const QString &path, int error)
{
    QString why;
    if (error == notRegularFile)
        why = QStringLiteral("it is not a regular file");
    else if (error == EFBIG)
        why = QStringLiteral("it is larger than 256 MiB, more than any device takes");
    else
        why = QString::fromLocal8Bit(std::strerror(error));
    return QStringLiteral("Cannot open the firmware image %1: %2").arg(path, why);
}

QString emptyImageText(const QString &path)
{
    return QStringLiteral("The firmware image %1 is empty; nothing was written.").arg(path);
}
