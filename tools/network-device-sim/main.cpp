// A simulated network device of the maker, for trying Vornic's network road
// without hardware and for the tests: it answers the identification and
// the firmware upload like a device, keeps what it receives, and injects
// faults on demand. Ctrl+C ends it.
#include "networkdevicesimulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("network-device-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulated Ordane network device: answers \"set\", \"boot v\", \"boot\", the \"iwr\" upload records\n"
        "and \"iwr ?\" over TCP; anything else is \"Unknown\"."));
    parser.addHelpOption();
    const QCommandLineOption address(QStringLiteral("address"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
                                     QStringLiteral("ip"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("TCP port (default 10102; 0 picks a free one)."),
                                  QStringLiteral("port"), QStringLiteral("10102"));
    const QCommandLineOption serial(QStringLiteral("serial"), QStringLiteral("Serial number answered to \"set\" (default 0500A1B2; empty: none)."),
                                    QStringLiteral("text"), QStringLiteral("0500A1B2"));
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Firmware version answered to \"set\" (default 3.2; empty: none)."),
                                     QStringLiteral("text"), QStringLiteral("3.2"));
    const QCommandLineOption bootVersion(QStringLiteral("boot-version"),
                                         QStringLiteral("Bootloader version answered to \"boot v\" (default 1.1)."),
                                         QStringLiteral("text"), QStringLiteral("1.1"));
    const QCommandLineOption delay(QStringLiteral("delay"), QStringLiteral("Milliseconds before each data record is answered."),
                                   QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption errorAt(QStringLiteral("error-at"), QStringLiteral("Answer \"ERROR\" to data record k (from 1)."),
                                     QStringLiteral("k"), QStringLiteral("0"));
    const QCommandLineOption silentFrom(QStringLiteral("silent-from"), QStringLiteral("Answer nothing from data record k on."),
                                        QStringLiteral("k"), QStringLiteral("0"));
    const QCommandLineOption closeAt(QStringLiteral("close-at"), QStringLiteral("Close the connection at data record k."),
                                     QStringLiteral("k"), QStringLiteral("0"));
    const QCommandLineOption greeting(QStringLiteral("greeting"),
                                      QStringLiteral("Text sent on every new connection, followed by CR LF (default "
                                                     "OK; empty: no greeting)."),
                                      QStringLiteral("text"));
    const QCommandLineOption greetingDelay(QStringLiteral("greeting-delay"),
                                           QStringLiteral("Milliseconds after a connection before the greeting."),
                                           QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption split(QStringLiteral("split"), QStringLiteral("Send every answer in two pieces, split inside its status word."));
    const QCommandLineOption wrongCrc(QStringLiteral("wrong-crc"), QStringLiteral("Let \"iwr ?\" find the image's CRC wrong."));
    const QCommandLineOption image(QStringLiteral("image"), QStringLiteral("File where the received image is kept."),
                                   QStringLiteral("file"));
    const QCommandLineOption journal(QStringLiteral("journal"),
                                     QStringLiteral("File where every connection, command, record address and size, and the "
                                                    "header's fields are written as they arrive."),
                                     QStringLiteral("file"));
    parser.addOptions({ address, port, serial, version, bootVersion, delay, errorAt, silentFrom, closeAt, greeting, greetingDelay, split,
                        wrongCrc, image, journal });
    parser.process(app);

    NetworkDeviceSimulator::Options options;
    options.address = QHostAddress(parser.value(address));
    if (options.address.isNull()) {
        std::fprintf(stderr, "not an IP address: %s\n", qPrintable(parser.value(address)));
        return 2;
    }
    bool valid = true;
    const auto number = [&parser, &valid](const QCommandLineOption &option) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < 0) {
            std::fprintf(stderr, "--%s wants a number of 0 or more\n", qPrintable(option.names().first()));
            valid = false;
        }
        return value;
    };
    options.port = quint16(number(port));
    options.recordDelay = number(delay);
    options.errorAtRecord = number(errorAt);
    options.silentFromRecord = number(silentFrom);
    options.closeAtRecord = number(closeAt);
    options.greetingDelay = number(greetingDelay);
    if (!valid)
        return 2;
    options.serialNumber = parser.value(serial).toLatin1();
    options.firmwareVersion = parser.value(version).toLatin1();
    options.bootloaderVersion = parser.value(bootVersion).toLatin1();
    if (parser.isSet(greeting))
        options.greeting = parser.value(greeting).isEmpty() ? QByteArray() : parser.value(greeting).toLatin1() + "\r\n";
    options.splitReplies = parser.isSet(split);
    options.wrongCrc = parser.isSet(wrongCrc);
    options.imageFile = parser.value(image);
    options.journalFile = parser.value(journal);

    NetworkDeviceSimulator simulator(options);
    if (!simulator.listen()) {
        std::fprintf(stderr, "cannot listen on %s:%d: %s\n", qPrintable(options.address.toString()), options.port,
                     qPrintable(simulator.errorString()));
        return 1;
    }
    std::printf("listening on %s:%d\n", qPrintable(options.address.toString()), simulator.serverPort());
    std::fflush(stdout);
    return app.exec();
}
