#ifndef SERIALBOOTREQUEST_H
#define SERIALBOOTREQUEST_H

#include <QString>

// The first phase of an update over a serial port: the device's
// application is told "boot\n" at 9600 baud and restarts into its USB
// bootloader, where the DFU download continues. No widgets.
class SerialBootRequest
{
public:
    enum Result {
        Sent = 0,
        PortBusy,       // another program holds the port
        NoAccess,       // this user may not open it
        Failed          // any other reason the port could not be used
    };

    // Returns a Result; on failure `errorText` says why in the system's
    // words, followed by what to do about it where that is known.
    static int send(const QString &portName, QString *errorText);
};

#endif // SERIALBOOTREQUEST_H
