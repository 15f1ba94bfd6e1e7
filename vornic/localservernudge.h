#ifndef LOCALSERVERNUDGE_H
#define LOCALSERVERNUDGE_H

#include <QString>

class QObject;

// Before an update, a program on this computer that listens on a local
// socket named after the device's serial number (the 8 characters after
// "S/N: " in the row text) is connected to and given a moment to react,
// for example to let go of the device. Nothing happens when none listens.
class LocalServerNudge
{
public:
    // The connection stays open as a child of `owner`.
    static void nudge(const QString &rowText, QObject *owner);
};

#endif // LOCALSERVERNUDGE_H
