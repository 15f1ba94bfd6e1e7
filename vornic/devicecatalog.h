#ifndef DEVICECATALOG_H
#define DEVICECATALOG_H

#include <QString>
#include <QStringList>

class QSerialPortInfo;

// What Vornic knows about the maker's devices without asking them: model
// names, the list-row texts, the model of a serial-port device, and which
// firmware image fits which device. Shared by the window and the command
// line, so both name devices and judge images alike. No widgets.
class DeviceCatalog
{
public:
    static const quint16 makerVendorId = 0x3B5D;

    // The display name of every DeviceType, indexed by its value.
    static QStringList deviceNames();

    // The DeviceType a row's first word names; UnknownDevice for none.
    static int typeOfRow(const QString &rowText);
    // The row of a serial-port device: "<model> S/N: <serial> via <port>".
    static QString serialRowText(const QSerialPortInfo &port);
    // The model of a serial-port device from its USB product identifier.
    static int serialPortDeviceType(quint16 productId);
    // The row of a network device: "<model> S/N: <serial> at <address>".
    static QString networkRowText(int type, const QString &serialNumber, const QString &ip);

    // True when the image at `imagePath` is meant for the device of the row
    // `rowText`: its file name holds the kind the road takes and the
    // model's tag.
    static bool imageMatches(const QString &rowText, const QString &imagePath, bool networkDevice);
    // The models a USB or serial-port device of which the image at
    // `imagePath` fits, by their display names.
    static QStringList modelsFitting(const QString &imagePath);
    // What the name of an image for that device must contain, as a
    // sentence; empty for a device of unknown model.
    static QString imageRequirement(const QString &rowText, bool networkDevice);
    // True for a row whose model is not known; writing it takes a yes.
    static bool isUnknownRow(const QString &rowText);
    // A device of a model the catalog knows: only such a one can match an
    // image without being forced.
    static bool modelKnown(const QString &rowText);
    // The model's display name for a row ("Unknown device" when unknown).
    static QString modelOf(const QString &rowText);
};

#endif // DEVICECATALOG_H
