#ifndef IMAGEFILE_H
#define IMAGEFILE_H

#include <QString>

#include <cerrno>
#include <cstdio>

// Opens a firmware image for reading as raw bytes and finds its size (0 or
// more); the file is positioned at its start. Only a regular file is an
// image: a directory fails with EISDIR, anything else (a pipe, a device,
// which could block the open or never end) with `notRegularFile`, and a file
// over `largestImage` bytes with EFBIG. On failure returns null with errno
// set.
std::FILE *openImageFile(const QString &path, long *size);

// The error number for a path that is neither a regular file nor a folder.
const int notRegularFile = ENODEV;
// No road addresses more than this: every image is read whole before it is
// sent, and no device of the maker takes anything near it.
const long largestImage = 0x10000000L;   // 256 MiB

// What the user is told when the image cannot be opened (the system's
// error number `error`), or is empty.
QString imageOpenFailureText(const QString &path, int error);
QString emptyImageText(const QString &path);

#endif // IMAGEFILE_H
