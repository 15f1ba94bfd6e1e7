#include "devicebench.h"

#include "testimage.h"

DeviceBench::~DeviceBench()
{
    unplugAll();
}

EmulatedDfuDevice *DeviceBench::add(const EmulatedDfuDevice::Config &config)
{
    m_devices.emplace_back(new EmulatedDfuDevice(config));
    return m_devices.back()->plug(m_testbed).isEmpty() ? nullptr : m_devices.back().get();
}

void DeviceBench::unplugAll()
{
    for (auto &device : m_devices)
        device->unplug(m_testbed);
    m_devices.clear();
}

QString DeviceBench::storeImage(const QByteArray &bytes, const QString &name)
{
    return TestImage::store(m_dir.path(), name, bytes);
}
