// A USB-to-RS-485 converter as the host meets it, between two
// pseudo-terminals: the host side (what the program opens as its serial
// port) and the line side (where a pad, or a program playing one, sits).
//
// Bytes cross the line at the baud rate. Bytes the converter receives from
// the line reach the host the way an FTDI-style chip hands them over: in
// USB packets of at most 62 bytes, sent when a packet is full or when the
// latency timer runs out. A converter that hears its own transmission puts
// the host's bytes into the same receive path, in line order.
//
//   rs485-converter-model --host PATH --line PATH [--baud 115200]
//                         [--latency-ms 16] [--echo]
//
// The two paths become symlinks to the pseudo-terminals; "ready" is printed
// once both exist. Ends on SIGINT or SIGTERM and removes the links.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t quitRequested = 0;

void requestQuit(int)
{
    quitRequested = 1;
}

long long nowUs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

struct TimedByte
{
    unsigned char byte;
    long long dueUs;
};

// One pseudo-terminal: the master end is the relay's, the slave end is
// linked at `path` and kept open here too, so that the relay never sees a
// hang-up while the far program has not opened it yet or reopens it.
struct Side
{
    int master = -1;
    int heldSlave = -1;
    std::string path;

    bool open(const std::string &linkPath)
    {
        path = linkPath;
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
            return false;
        const char *name = ptsname(master);
        if (!name)
            return false;
        heldSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (heldSlave < 0)
            return false;
        termios raw {};
        if (tcgetattr(heldSlave, &raw) != 0)
            return false;
        cfmakeraw(&raw);
        tcsetattr(heldSlave, TCSANOW, &raw);
        ::unlink(path.c_str());
        return ::symlink(name, path.c_str()) == 0;
    }

    void close()
    {
        if (!path.empty())
            ::unlink(path.c_str());
        if (heldSlave >= 0)
            ::close(heldSlave);
        if (master >= 0)
            ::close(master);
    }
};

bool writeAll(int fd, const unsigned char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && (errno == EINTR || errno == EAGAIN)) {
            pollfd watch = { fd, POLLOUT, 0 };
            ::poll(&watch, 1, 10);
            continue;
        }
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

const char usageText[] =
    "Usage: rs485-converter-model --host PATH --line PATH [--baud N] [--latency-ms N] [--echo]\n"
    "\n"
    "A USB-to-RS-485 converter between two pseudo-terminals, for tests without\n"
    "hardware: the host side (what Tamsel opens as its serial port) and the line\n"
    "side (where a pad, or a program playing one, sits).\n"
    "\n"
    "  --host PATH        symlink made to the host side's pseudo-terminal\n"
    "  --line PATH        symlink made to the line side's pseudo-terminal\n"
    "  --baud N           line rate in bits per second (default 115200)\n"
    "  --latency-ms N     the converter's latency timer, 1 to 255 (default 16):\n"
    "                     bytes from the line reach the host in USB packets of\n"
    "                     at most 62 bytes, when full or when it runs out\n"
    "  --echo             the host's own bytes come back, as from a converter\n"
    "                     that hears its transmission\n"
    "  -h, --help         this text\n"
    "\n"
    "Prints \"ready\" once both links exist; ends on SIGINT or SIGTERM and\n"
    "removes them.\n";

int usage()
{
    std::fputs(usageText, stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    std::string hostPath;
    std::string linePath;
    long baud = 115200;
    long latencyMs = 16;
    bool echo = false;
    const size_t packetSize = 62;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == "--help" || option == "-h") {
            std::fputs(usageText, stdout);
            return 0;
        }
        if (option == "--host" && hasValue)
            hostPath = argv[++i];
        else if (option == "--line" && hasValue)
            linePath = argv[++i];
        else if (option == "--baud" && hasValue)
            baud = std::strtol(argv[++i], nullptr, 10);
        else if (option == "--latency-ms" && hasValue)
            latencyMs = std::strtol(argv[++i], nullptr, 10);
        else if (option == "--echo")
            echo = true;
        else
            return usage();
    }
    if (hostPath.empty() || linePath.empty() || baud <= 0 || latencyMs < 1 || latencyMs > 255)
        return usage();

    std::signal(SIGINT, requestQuit);
    std::signal(SIGTERM, requestQuit);
    std::signal(SIGPIPE, SIG_IGN);
    Side host;
    Side line;
    if (!host.open(hostPath) || !line.open(linePath)) {
        std::perror("rs485-converter-model");
        host.close();
        line.close();
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    // 8 data bits, no parity, 1 stop bit.
    const long long byteUs = 10 * 1000000LL / baud;
    const long long latencyUs = latencyMs * 1000LL;
    std::deque<TimedByte> toLine;       // the host's bytes, leaving at line pace
    std::deque<TimedByte> fromLine;     // the pad's bytes, arriving at line pace
    long long lineFreeUs = 0;           // half duplex: one sender at a time
    std::vector<unsigned char> packet;  // received, not yet handed to the host
    long long nextTickUs = nowUs() + latencyUs;

    const auto flush = [&] {
        if (!packet.empty()) {
            writeAll(host.master, packet.data(), packet.size());
            packet.clear();
        }
    };
    const auto receive = [&](unsigned char byte) {
        packet.push_back(byte);
        if (packet.size() == packetSize)
            flush();
    };

    while (!quitRequested) {
        long long now = nowUs();
        while (!toLine.empty() && toLine.front().dueUs <= now) {
            const unsigned char byte = toLine.front().byte;
            toLine.pop_front();
            writeAll(line.master, &byte, 1);
            if (echo)
                receive(byte);
        }
        while (!fromLine.empty() && fromLine.front().dueUs <= now) {
            receive(fromLine.front().byte);
            fromLine.pop_front();
        }
        if (now >= nextTickUs) {
            flush();
            while (nextTickUs <= now)
                nextTickUs += latencyUs;
        }

        long long wakeUs = nextTickUs;
        if (!toLine.empty() && toLine.front().dueUs < wakeUs)
            wakeUs = toLine.front().dueUs;
        if (!fromLine.empty() && fromLine.front().dueUs < wakeUs)
            wakeUs = fromLine.front().dueUs;
        const long long waitUs = wakeUs - now;
        pollfd watch[2] = { { host.master, POLLIN, 0 }, { line.master, POLLIN, 0 } };
        const long long boundedUs = waitUs < 0 ? 0 : waitUs;
        const timespec timeout = { time_t(boundedUs / 1000000), long(boundedUs % 1000000) * 1000 };
        const int ready = ::ppoll(watch, 2, &timeout, nullptr);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        unsigned char buffer[4096];
        now = nowUs();
        if (watch[0].revents & POLLIN) {
            const ssize_t got = ::read(host.master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < got; ++i) {
                lineFreeUs = (lineFreeUs > now ? lineFreeUs : now) + byteUs;
                toLine.push_back({ buffer[i], lineFreeUs });
            }
        }
        if (watch[1].revents & POLLIN) {
            const ssize_t got = ::read(line.master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < got; ++i) {
                lineFreeUs = (lineFreeUs > now ? lineFreeUs : now) + byteUs;
                fromLine.push_back({ buffer[i], lineFreeUs });
            }
        }
    }
    host.close();
    line.close();
    return 0;
}
