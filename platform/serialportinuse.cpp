#include "serialportinuse.h"

#include "filenames.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

bool serialPortInUse(const QString &errorString)
{
    // The lock-file text is the serial port module's own (untranslated) one;
    // the exclusive-open text is the system's message for EBUSY, in the
    // same locale the module used to make it.
    static const QString busy = QString::fromLocal8Bit(std::strerror(EBUSY));
    return errorString.contains(QLatin1String("Access is denied"))
        || errorString.contains(QLatin1String("Permission error while locking the device"))
        || (!busy.isEmpty() && errorString.contains(busy));
}

bool serialPortNotPermitted(const QString &errorString)
{
    static const QString denied = QString::fromLocal8Bit(std::strerror(EACCES));
    return !denied.isEmpty() && errorString.contains(denied);
}

bool serialPortForbidden(const QString &path)
{
    return !path.isEmpty() && ::access(FileNames::encode(path).constData(), R_OK | W_OK) != 0 && errno == EACCES;
}
