#ifndef SIMULATEDDEVICE_H
#define SIMULATEDDEVICE_H

#include "networkdevicesimulator.h"

#include <QThread>

// A simulated network device on a thread of its own, so that a program
// that blocks its own thread while it connects (as the tasks do) still
// reaches it. Listens from construction to destruction.
class SimulatedDevice
{
public:
    explicit SimulatedDevice(const NetworkDeviceSimulator::Options &options);
    ~SimulatedDevice();
    SimulatedDevice(const SimulatedDevice &) = delete;
    SimulatedDevice &operator=(const SimulatedDevice &) = delete;

    bool isListening() const { return m_listening; }
    quint16 port() const { return m_port; }
    QStringList journal() const { return m_simulator->journal(); }
    QByteArray image(char mode) const { return m_simulator->image(mode); }

private:
    QThread m_thread;
    NetworkDeviceSimulator *m_simulator;
    bool m_listening = false;
    quint16 m_port = 0;
};

#endif // SIMULATEDDEVICE_H
