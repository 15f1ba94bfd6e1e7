#include "testimage.h"

QByteArray TestImage::bytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + 7) ^ (i >> 8));
    return bytes;
}
