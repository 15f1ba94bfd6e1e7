#include "imagefile.h"

#include <QFile>

#include <sys/stat.h>

#include <cerrno>

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
