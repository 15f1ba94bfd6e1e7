// Every road of Vornic without the maker's hardware: an emulated USB device
// in its application, an emulated device with a serial port, and a
// simulated network device, all ready for a full update. Either shows
// Vornic's window with the network device already added, or runs a script
// (the command-line demo, the tests' scenarios) against the same devices.
// Says at the end what each device received. Run under umockdev-wrapper:
//   vornic-demo [--snapshot WINDOW.png] [--exec SCRIPT [ARG...]]
// --snapshot renders the window once the network device is in, then ends.
#include "cmndialog.h"

#include "clirun.h"
#include "emulateddfudevice.h"
#include "simulateddevice.h"
#include "usbtestbed.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>

namespace {

const int imageSize = 96 * 1024;

QByteArray demoImage()
{
    QByteArray bytes(imageSize, Qt::Uninitialized);
    quint32 x = 0x2545F491u;
    for (int i = 0; i < imageSize; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x);
    }
    return bytes;
}

void report(const char *what, const QByteArray &received, const QByteArray &image)
{
    if (received.isEmpty())
        std::printf("  %-28s nothing written\n", what);
    else if (received == image)
        std::printf("  %-28s %d bytes, identical to the image\n", what, int(received.size()));
    else
        std::printf("  %-28s %d bytes, DIFFERENT from the image\n", what, int(received.size()));
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList script;
    QString snapshot;
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--snapshot") == 0 && i + 1 < argc)
            snapshot = QString::fromLocal8Bit(argv[++i]);
        else if (qstrcmp(argv[i], "--exec") == 0) {
            for (++i; i < argc; ++i)
                script << QString::fromLocal8Bit(argv[i]);
        }
    }

    UsbTestbed testbed;
    if (!testbed.isValid()) {
        std::fprintf(stderr, "vornic-demo: run it under umockdev-wrapper (scripts/demo.sh does)\n");
        return 2;
    }
    QTemporaryDir dir;
    // The name and kind fit the demo devices' model (Dongara), so no
    // question about a mismatched image comes up.
    const QString imagePath = dir.filePath(QStringLiteral("DG_DEMO.IN2"));
    const QByteArray image = demoImage();
    QFile file(imagePath);
    if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size()) {
        std::fprintf(stderr, "vornic-demo: cannot write %s\n", qPrintable(imagePath));
        return 2;
    }
    file.close();

    // The window takes its image from its first argument.
    QByteArray programName(argv[0]);
    QByteArray imageArgument = imagePath.toLocal8Bit();
    int appArgc = 2;
    char *appArgv[] = { programName.data(), imageArgument.data(), nullptr };
    QApplication app(appArgc, appArgv);

    EmulatedDfuDevice::Config usbConfig;
    usbConfig.port = "1-3";
    usbConfig.deviceNumber = 2;
    usbConfig.productId = 0x0015;
    usbConfig.product = "Dongara NET";
    usbConfig.serial = "04E2A1B2";
    usbConfig.initialState = EmulatedDfuDevice::AppIdle;
    // Its bootloader can read the image back (vornic-cli --verify).
    usbConfig.canUpload = true;
    EmulatedDfuDevice usbDevice(usbConfig);

    EmulatedDfuDevice::Config serialConfig;
    serialConfig.port = "1-4";
    serialConfig.deviceNumber = 5;
    serialConfig.productId = 0x0015;
    serialConfig.deviceClass = 2;
    serialConfig.product = "Dongara";
    serialConfig.serial = "04E2C3D4";
    serialConfig.initialState = EmulatedDfuDevice::AppIdle;
    serialConfig.ttyName = "ttyACM0";
    EmulatedDfuDevice serialDevice(serialConfig);

    NetworkDeviceSimulator::Options networkOptions;
    networkOptions.port = 0;
    networkOptions.serialNumber = "04E2E5F6";
    networkOptions.firmwareVersion = "3.4";
    networkOptions.bootloaderVersion = "1.2";
    SimulatedDevice networkDevice(networkOptions);

    if (usbDevice.plug(testbed).isEmpty() || serialDevice.plug(testbed).isEmpty() || !networkDevice.isListening()) {
        std::fprintf(stderr, "vornic-demo: cannot set up the simulated devices\n");
        return 2;
    }
    const QString networkAddress = QStringLiteral("127.0.0.1:%1").arg(networkDevice.port());

    int status = 0;
    if (script.isEmpty()) {
        CMNDialog window;
        window.show();
        // Added through the window's own check, as "Add Network Device" does.
        QTimer::singleShot(300, &window, [&window, &networkDevice] {
            window.getNetworkDeviceOptions(QStringLiteral("127.0.0.1"), QString::number(networkDevice.port()));
        });
        if (!snapshot.isEmpty())
            QTimer::singleShot(1500, &window, [&window, &snapshot, &status] {
                if (!window.grab().save(snapshot))
                    status = 1;
                window.close();
            });
        const int code = app.exec();
        status = status ? status : code;
    } else {
        QProcess process;
        // The testbed's location was set inside this process.
        QProcessEnvironment environment = CliRun::environment();
        environment.insert(QStringLiteral("DEMO_IMAGE"), imagePath);
        environment.insert(QStringLiteral("DEMO_USB"), QString::fromLatin1(usbConfig.port));
        environment.insert(QStringLiteral("DEMO_USB_SERIAL"), QString::fromLatin1(usbConfig.serial));
        environment.insert(QStringLiteral("DEMO_SERIAL_PORT"), QString::fromLatin1(serialConfig.ttyName));
        environment.insert(QStringLiteral("DEMO_NETWORK"), networkAddress);
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.setInputChannelMode(QProcess::ForwardedInputChannel);
        QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &app,
                         [&](int code, QProcess::ExitStatus exitStatus) {
                             app.exit(exitStatus == QProcess::NormalExit ? code : 1);
                         });
        QObject::connect(&process, &QProcess::errorOccurred, &app, [&app](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                app.exit(2);
        });
        process.start(script.first(), script.mid(1));
        // The devices answer on this process's event loop while the script runs.
        status = app.exec();
    }

    std::printf("\nWhat the simulated devices received:\n");
    report("USB device (DFU):", usbDevice.downloaded(), image);
    report("serial-port device (DFU):", serialDevice.downloaded(), image);
    report("network device:", networkDevice.checkedImage(), image);
    std::fflush(stdout);
    serialDevice.unplug(testbed);
    usbDevice.unplug(testbed);
    return status;
}
