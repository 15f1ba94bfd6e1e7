#include "listrow.h"

#include <QListWidgetItem>

NetworkDevice *ListRow::networkDevice(const QVariant &data)
{
    if (data.userType() != QMetaType::VoidStar)
        return nullptr;
    return static_cast<NetworkDevice *>(data.value<void *>());
}

NetworkDevice *ListRow::networkDevice(const QListWidgetItem *row)
{
    return row ? networkDevice(row->data(Qt::UserRole)) : nullptr;
}

libusb_device *ListRow::usbDevice(const QVariant &data)
{
    if (data.userType() != qMetaTypeId<quintptr>())
        return nullptr;
    return reinterpret_cast<libusb_device *>(data.value<quintptr>());
}

libusb_device *ListRow::usbDevice(const QListWidgetItem *row)
{
    return row ? usbDevice(row->data(Qt::UserRole)) : nullptr;
}
