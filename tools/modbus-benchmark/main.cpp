// Writes RECORDS Write File Record requests of 32 bytes (record numbers from
// 0) through our Modbus master and RS-485 backend to the slave at address
// 80 on PORT, and prints the time per record.
//   modbus-benchmark PORT RECORDS
#include "modbus.h"
#include "rs485sub20.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT RECORDS\n", argv[0]);
        return 2;
    }
    Rs485Sub20::Options options;
    options.port = QString::fromLocal8Bit(argv[1]);
    Rs485Sub20 adapter(options);
    if (!adapter.isOpen()) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 1;
    }
    // Once per opened port, like opening it: reported on its own, outside
    // the time per record.
    QElapsedTimer probe;
    probe.start();
    if (!adapter.detectEcho()) {
        std::fprintf(stderr, "%s failed\n", argv[1]);
        return 1;
    }
    std::fprintf(stderr, "echo probe: %lld ms\n", probe.elapsed());
    const int records = QByteArray(argv[2]).toInt();
    const auto handle = reinterpret_cast<sub_handle>(&adapter);
    Modbus modbus;
    char block[32];
    QElapsedTimer timer;
    timer.start();
    for (int record = 0; record < records; ++record) {
        for (int i = 0; i < 32; ++i)
            block[i] = char(record * 32 + i);
        const int result = modbus.writeFileRecord(handle, 80, 0, record, 32, block);
        if (result != 0) {
            std::fprintf(stderr, "record %d: result %d\n", record, result);
            return 1;
        }
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("%.4f\n", seconds * 1000.0 / records);
    return 0;
}
