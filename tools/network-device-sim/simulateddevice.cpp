#include "simulateddevice.h"

#include <QRegularExpression>

SimulatedDevice::SimulatedDevice(const NetworkDeviceSimulator::Options &options)
    : m_options(options)
{
    start();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_started.wait(lock, [this] { return m_ready; });
}

SimulatedDevice::~SimulatedDevice()
{
    quit();
    wait();
    // Qt's wait is invisible to the race detector; this lock pairs with the
    // one at the end of run(), so what the thread made is seen as made
    // before it is freed here.
    std::lock_guard<std::mutex> lock(m_mutex);
}

void SimulatedDevice::run()
{
    {
        NetworkDeviceSimulator simulator(m_options);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_simulator = &simulator;
            m_listening = simulator.listen();
            m_port = simulator.serverPort();
            m_ready = true;
            // Under the lock: once the constructor sees the device ready, the
            // device (and this condition variable) may be gone at once.
            m_started.notify_all();
        }
        exec();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_simulator = nullptr;
    }
    // After the simulator is gone: pairs with the destructor's lock.
    std::lock_guard<std::mutex> lock(m_mutex);
}

QStringList SimulatedDevice::journal() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_simulator ? m_simulator->journal() : QStringList();
}

QByteArray SimulatedDevice::image(char mode) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_simulator ? m_simulator->image(mode) : QByteArray();
}

QByteArray SimulatedDevice::checkedImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_simulator ? m_simulator->checkedImage() : QByteArray();
}

bool SimulatedDevice::allClosed() const
{
    const QStringList lines = journal();
    return lines.filter(QRegularExpression(QStringLiteral("^connect "))).size()
        == lines.filter(QRegularExpression(QStringLiteral("^close "))).size();
}
