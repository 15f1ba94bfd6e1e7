#ifndef BENCHMARKIMAGE_H
#define BENCHMARKIMAGE_H

#include <QByteArray>

// The benchmarks' image: `size` bytes that look random (a fixed linear
// congruential sequence), so that every run writes the same bytes and no
// transfer can shortcut a repeating pattern.
inline QByteArray benchmarkImage(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 0x9E3779B9u;
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

#endif // BENCHMARKIMAGE_H
