#include "simulateddevice.h"

SimulatedDevice::SimulatedDevice(const NetworkDeviceSimulator::Options &options)
    : m_simulator(new NetworkDeviceSimulator(options))
{
    m_simulator->moveToThread(&m_thread);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_simulator,
        [this] {
            m_listening = m_simulator->listen();
            m_port = m_simulator->serverPort();
        },
        Qt::BlockingQueuedConnection);
}

SimulatedDevice::~SimulatedDevice()
{
    QMetaObject::invokeMethod(m_simulator, [this] { delete m_simulator; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}
