#include "testimage.h"

#include "filenames.h"

#include <QDir>

#include <fcntl.h>
#include <unistd.h>

QByteArray TestImage::bytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    // Unsigned: images of 16 MiB and more wrap the product.
    for (int i = 0; i < size; ++i) {
        const quint32 n = quint32(i);
        bytes[i] = char((n * 131u + 7u) ^ (n >> 8));
    }
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
