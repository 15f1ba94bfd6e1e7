#ifndef SERIALPORTINUSE_H
#define SERIALPORTINUSE_H

#include <QString>

// Whether the error text of a serial port that failed to open says that
// another program holds the port. On Windows that is the system's "Access is
// denied"; on Linux the port is either locked by another program's lock file
// in the system lock directory, or opened exclusively by it (EBUSY).
bool serialPortInUse(const QString &errorString);

// Whether it says that this user may not open the port (EACCES).
bool serialPortNotPermitted(const QString &errorString);

// Whether this user lacks the rights to open the port at `path` for reading
// and writing.
bool serialPortForbidden(const QString &path);

#endif // SERIALPORTINUSE_H
