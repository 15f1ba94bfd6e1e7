#ifndef SIMULATEDDEVICE_H
#define SIMULATEDDEVICE_H

#include "networkdevicesimulator.h"

#include <QThread>

#include <condition_variable>
#include <mutex>

// A simulated network device on a thread of its own, so that a program
// that blocks its own thread while it connects (as the tasks do) still
// reaches it. Listens from construction to destruction.
class SimulatedDevice : private QThread
{
public:
    explicit SimulatedDevice(const NetworkDeviceSimulator::Options &options);
    ~SimulatedDevice() override;

    bool isListening() const { return m_listening; }
    quint16 port() const { return m_port; }
    QStringList journal() const;
    QByteArray image(char mode) const;
    QByteArray checkedImage() const;
    // Every connection the device accepted has been closed again.
    bool allClosed() const;

private:
    // The simulator lives and dies on this thread.
    void run() override;

    const NetworkDeviceSimulator::Options m_options;
    // Guards the simulator pointer too: the thread clears it when it ends,
    // after a stop the race detector cannot see (Qt's own locks).
    mutable std::mutex m_mutex;
    std::condition_variable m_started;
    bool m_ready = false;
    NetworkDeviceSimulator *m_simulator = nullptr;
    bool m_listening = false;
    quint16 m_port = 0;
};

#endif // SIMULATEDDEVICE_H
