#include "testimage.h"

#include "filenames.h"

#include <QDir>

#include <fcntl.h>
#include <unistd.h>

QByteArray TestImage::bytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + 7) ^ (i >> 8));
    return bytes;
}

QString TestImage::store(const QString &folder, const QString &name, const QByteArray &bytes)
{
    // By its bytes: a name need not be UTF-8 (FileNames).
    const QString path = QDir(folder).filePath(name);
    const int fd = ::open(FileNames::encode(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return QString();
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written ? path : QString();
}
