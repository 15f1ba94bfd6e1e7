#ifndef IMAGEFILE_H
#define IMAGEFILE_H

#include <QString>

#include <cstdio>

// Opens a firmware image for reading as raw bytes and finds its size (0 or
// more); the file is positioned at its start. A directory is no image
// (EISDIR). On failure returns null with errno set.
std::FILE *openImageFile(const QString &path, long *size);

// What the user is told when the image cannot be opened (the system's
// error number `error`), or is empty.
QString imageOpenFailureText(const QString &path, int error);
QString emptyImageText(const QString &path);
// Why the image cannot be written, in one of those sentences; empty when
// it can. `size`, when given, receives its size.
QString imageFileProblem(const QString &path, long *size = nullptr);

#endif // IMAGEFILE_H
