#ifndef SERIALPORTINUSE_H
#define SERIALPORTINUSE_H

#include <QString>

// Whether the error text of a serial port that failed to open says that
// another program holds the port. On Windows that is the system's "Access is
// denied"; on Linux the port is either locked by another program's lock file
// in the system lock directory, or opened exclusively by it (EBUSY).
bool serialPortInUse(const QString &errorString);

#endif // SERIALPORTINUSE_H
