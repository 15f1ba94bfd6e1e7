#ifndef DEVICEBENCH_H
#define DEVICEBENCH_H

#include "emulateddfudevice.h"
#include "privatesettings.h"
#include "usbtestbed.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// What a test of the USB and serial roads stands on: settings of its own, a
// folder for its images, the emulated bus, and the devices it plugged in
// (unplugged again, before the bus goes, when the bench goes).
class DeviceBench
{
public:
    DeviceBench() = default;
    ~DeviceBench();
    DeviceBench(const DeviceBench &) = delete;
    DeviceBench &operator=(const DeviceBench &) = delete;

    // False outside umockdev-wrapper.
    bool isValid() const { return m_testbed.isValid(); }
    UsbTestbed &testbed() { return m_testbed; }
    QTemporaryDir &dir() { return m_dir; }
    // Plugs a device made from `config`, kept until the bench goes; null
    // when it could not be plugged.
    EmulatedDfuDevice *add(const EmulatedDfuDevice::Config &config);
    // Unplugs and forgets one device added.
    void remove(EmulatedDfuDevice *device);
    // Unplugs and forgets every device added.
    void unplugAll();
    // Writes `bytes` as the image `name` in the bench's folder; its path,
    // or empty when it could not be written.
    QString storeImage(const QByteArray &bytes, const QString &name = QStringLiteral("PR_TEST.INC"));

private:
    PrivateSettings m_settings;
    QTemporaryDir m_dir;
    UsbTestbed m_testbed;
    std::vector<std::unique_ptr<EmulatedDfuDevice>> m_devices;
};

#endif // DEVICEBENCH_H
