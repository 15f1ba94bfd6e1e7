#include "imagefile.h"

#include <QFile>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

std::FILE *openImageFile(const QString &path, long *size)
{
    std::FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file)
        return nullptr;
    struct stat info;
    if (fstat(fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    *size = 0;
    if (std::fseek(file, 0, SEEK_END) == 0)
        *size = qMax(0L, std::ftell(file));
    std::fseek(file, 0, SEEK_SET);
    return file;
}

QString imageOpenFailureText(const QString &path, int error)
{
    return QStringLiteral("Cannot open the firmware image %1: %2")
        .arg(path, QString::fromLocal8Bit(std::strerror(error)));
}

QString emptyImageText(const QString &path)
{
    return QStringLiteral("The firmware image %1 is empty; nothing was written.").arg(path);
}

QString imageFileProblem(const QString &path, long *size)
{
    long found = -1;
    std::FILE *file = openImageFile(path, &found);
    if (!file)
        return imageOpenFailureText(path, errno);
    std::fclose(file);
    if (size)
        *size = found;
    return found > 0 ? QString() : emptyImageText(path);
}
