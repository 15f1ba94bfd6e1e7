#ifndef IMAGEFILE_H
#define IMAGEFILE_H

#include <QString>

#include <cstdio>

// Opens a firmware image for reading as raw bytes and finds its size (0 or
// more); the file is positioned at its start. A directory is no image
// (EISDIR). On failure returns null with errno set.
std::FILE *openImageFile(const QString &path, long *size);

#endif // IMAGEFILE_H
