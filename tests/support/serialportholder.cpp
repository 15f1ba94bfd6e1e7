// Another program holding a serial port: opens the port named on the command
// line, prints "held" and keeps it until its standard input ends.
#include <QCoreApplication>
#include <QSerialPort>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    QSerialPort port(QString::fromLocal8Bit(argv[1]));
    if (!port.open(QIODevice::ReadWrite)) {
        std::printf("failed: %s\n", qPrintable(port.errorString()));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    char line[16];
    while (std::fgets(line, sizeof line, stdin))
        ;
    return 0;
}
