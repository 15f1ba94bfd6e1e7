#ifndef DELAYRELAY_H
#define DELAYRELAY_H

#include <QtGlobal>

#include <atomic>
#include <chrono>
#include <thread>

// A link with a round trip, on loopback: accepts connections on a port of
// its own and relays each to a target port on 127.0.0.1, holding every byte
// for a fixed time in each direction and keeping their order. A closed side
// is passed on in order too (after the bytes before it); a reset ends both
// sides at once. For the benchmark, where the kernel has no queueing
// discipline that delays packets. Runs on a thread of its own from
// construction to destruction.
class DelayRelay
{
public:
    DelayRelay(quint16 targetPort, std::chrono::microseconds oneWay);
    ~DelayRelay();
    DelayRelay(const DelayRelay &) = delete;
    DelayRelay &operator=(const DelayRelay &) = delete;

    bool isListening() const { return m_listener >= 0; }
    quint16 port() const { return m_port; }

private:
    void run();

    const quint16 m_targetPort;
    const std::chrono::nanoseconds m_oneWay;
    int m_listener = -1;
    int m_wake = -1;                    // an eventfd: the destructor ends the thread with it
    quint16 m_port = 0;
    std::thread m_thread;
};

#endif // DELAYRELAY_H
