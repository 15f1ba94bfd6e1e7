#ifndef DEVICETYPE_H
#define DEVICETYPE_H

// Device models of the Vornic family. The value is the index of the model's
// display name in the main window's device-name list, so the order is fixed.
enum DeviceType {
    UnknownDevice = 0,
    Primora = 1,
    Bridova = 2,
    Bridonix = 3,
    Socara = 4,
    Beamora = 5,
    Dongara = 6,
    UnknownRemoteDevice = 7
};

#endif // DEVICETYPE_H
