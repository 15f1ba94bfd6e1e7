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

void DeviceBench::remove(EmulatedDfuDevice *device)
{
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
        if (it->get() == device) {
            device->unplug(m_testbed);
            m_devices.erase(it);
            return;
        }
    }
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
