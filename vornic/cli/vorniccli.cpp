#include "vorniccli.h"

#include "cliconsole.h"
#include "cliprogress.h"
#include "devicecatalog.h"
#include "emitter.h"
#include "exitcode.h"
#include "fleetupdate.h"
#include "imagefile.h"
#include "interruptsignal.h"
#include "localservernudge.h"
#include "network/command.h"
#include "network/networkaddress.h"
#include "network/networkcheck.h"
#include "network/networkdevice.h"
#include "network/uploadtask.h"
#include "serialbootrequest.h"
#include "update/updateoutcome.h"
#include "serialportinuse.h"
#include "usb/dfuengine.h"
#include "usb/dfuprotocol.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QThread>
#include <QTimer>

#include <libusb.h>

namespace {

const int pollInterval = 200;           // ms between looks for a returning device
const int dfuTimeout = 5000;            // ms for every DFU request

QString modelOf(const QString &rowText)
{
    return DeviceCatalog::deviceNames().value(DeviceCatalog::typeOfRow(rowText));
}

// The whole of standard input, where the parent of a several-devices
// update hands each device's process the image it read; more than any
// image is cut off (and then refused as too large).
QByteArray readStandardInput()
{
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, stdin);
        if (got == 0 || bytes.size() > largestImage)
            break;
        bytes.append(buffer, int(got));
    }
    return bytes;
}

// The network check of `record`, which Ctrl+C or SIGTERM ends (with 2).
int checkNetworkDevice(NetworkDevice *record)
{
    NetworkCheck check;
    check.setStopFlag(&InterruptSignal::flag());
    return check.run(record);
}


// The written device and where it sits, for the line that says it was written.
QString writtenText(const UsbDeviceEntry &entry)
{
    return QStringLiteral("%1 (USB %2)").arg(entry.text, entry.portPath);
}

} // namespace

VornicCli::VornicCli(std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_console(new CliConsole(QStringLiteral("vornic-cli"), helpText(), out, err, this))
    , m_progress(m_console->progress())
    , m_emitter(new Emitter(this))
{
    connect(m_emitter, &Emitter::load_start, m_progress, &CliProgress::setRange);
    connect(m_emitter, &Emitter::load_progress, m_progress, &CliProgress::setValue);
    connect(m_emitter, &Emitter::errorSignal, this, [this](const QString &text) { m_errors << text; });
}

VornicCli::~VornicCli()
{
    releaseUsb();
}

int VornicCli::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    const QCommandLineOption json(QStringLiteral("json"));
    const QCommandLineOption ip(QStringLiteral("ip"), QString(), QStringLiteral("address"));
    const QCommandLineOption force(QStringLiteral("force"));
    const QCommandLineOption reboot(QStringLiteral("reboot"));
    const QCommandLineOption verify(QStringLiteral("verify"));
    const QCommandLineOption all(QStringLiteral("all"));
    const QCommandLineOption wait(QStringLiteral("wait"), QString(), QStringLiteral("seconds"));
    // A several-devices update's own: the image comes on standard input,
    // and its SHA-256 with the option, so that an image cut short (its
    // sender killed while it was writing) is never taken for a whole one.
    QCommandLineOption imageOnStdin(QStringLiteral("image-on-stdin"), QString(), QStringLiteral("sha256"));
    imageOnStdin.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOptions({ json, ip, force, reboot, verify, wait, all, imageOnStdin });
    int code = ExitSuccess;
    if (!m_console->parse(parser, arguments, &code))
        return code;
    m_force = parser.isSet(force);
    m_reboot = parser.isSet(reboot);
    m_verify = parser.isSet(verify);
    m_imageOnStdin = parser.isSet(imageOnStdin);
    m_imageDigest = parser.value(imageOnStdin).toLatin1();
    if (parser.isSet(wait)) {
        bool ok = false;
        m_waitSeconds = parser.value(wait).toInt(&ok);
        if (!ok || m_waitSeconds <= 0)
            return fail(ExitUsage, QStringLiteral("--wait takes a number of seconds above 0."));
    }

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    if (command == QLatin1String("list") && positional.size() == 1)
        return list(parser.isSet(json), parser.values(ip));
    m_json = parser.isSet(json);
    // What every device's own process is told, for several at once.
    QStringList childOptions;
    for (const QCommandLineOption &option : { force, reboot, verify }) {
        if (parser.isSet(option))
            childOptions << QStringLiteral("--") + option.names().first();
    }
    if (parser.isSet(wait))
        childOptions << QStringLiteral("--wait") << parser.value(wait);
    // Named devices are named as DEVICE; --ip adds network devices only to
    // those --all finds.
    if (command == QLatin1String("update") && parser.isSet(ip) && !parser.isSet(all))
        return fail(ExitUsage, QStringLiteral("--ip goes with list and update --all; name a network device as DEVICE "
                                              "(vornic-cli update ADDRESS[:PORT] IMAGE)."));
    if (command == QLatin1String("update") && parser.isSet(all) && positional.size() == 2)
        return updateMany({}, positional.at(1), true, parser.values(ip), childOptions);
    if (command == QLatin1String("update") && parser.isSet(all))
        return fail(ExitUsage, QStringLiteral("--all takes the image alone (vornic-cli update --all IMAGE); see "
                                              "vornic-cli --help."));
    if (command == QLatin1String("update") && positional.size() > 3)
        return updateMany(positional.mid(1, positional.size() - 2), positional.last(), false, {}, childOptions);
    if (command == QLatin1String("update") && positional.size() == 3)
        return updateOne(positional.at(1), positional.at(2));
    if (command == QLatin1String("update") && positional.size() == 2)
        return fail(ExitUsage, QStringLiteral("The firmware image is missing: vornic-cli update %1 IMAGE.")
                                   .arg(positional.at(1)));
    if (command.isEmpty())
        return fail(ExitUsage, QStringLiteral("Say what to do: list or update; see vornic-cli --help."));
    return fail(ExitUsage, QStringLiteral("Unknown command or wrong arguments: %1; see vornic-cli --help.")
                               .arg(positional.join(QLatin1Char(' '))));
}

int VornicCli::fail(int code, const QString &sentence)
{
    return m_console->fail(code, sentence);
}

void VornicCli::note(const QString &line)
{
    m_console->note(line);
}

void VornicCli::releaseUsb()
{
    UsbDeviceList::release(&m_usb);
    if (m_context)
        libusb_exit(m_context);
    m_context = nullptr;
}

// ---------------------------------------------------------------------------
// Listing

void VornicCli::listUsb(const UsbDeviceList::Wanted &wanted)
{
    // A fresh context sees the bus as it is now, like the window's refresh.
    releaseUsb();
    if (UsbDeviceList::initContext(&m_context) != 0)
        m_context = nullptr;
    else
        UsbDeviceList::enumerate(m_context, &m_usb, UsbDeviceList::Trace(), wanted);
}

void VornicCli::listLocal(const UsbDeviceList::Wanted &wanted)
{
    listUsb(wanted);
    m_local.clear();
    for (int i = 0; i < m_usb.size(); ++i) {
        const UsbDeviceEntry &entry = m_usb.at(i);
        Listed device;
        device.road = QStringLiteral("usb");
        device.id = entry.portPath;
        device.text = entry.text;
        device.serialNumber = entry.serialNumber;
        device.product = entry.product;
        device.version = entry.version;
        device.accessible = entry.accessible;
        device.bootloader = entry.bootloader;
        device.usbIndex = i;
        m_local.append(device);
    }
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &port : ports) {
        if (port.vendorIdentifier() != DeviceCatalog::makerVendorId)
            continue;
        // The window refuses such a port with a warning; it cannot be
        // matched with its bootloader either.
        if (port.serialNumber().isEmpty()) {
            qWarning("vornic-cli: %s has no serial number and is left out.", qPrintable(port.portName()));
            continue;
        }
        Listed device;
        device.road = QStringLiteral("serial");
        device.id = port.portName();
        device.text = DeviceCatalog::serialRowText(port);
        device.serialNumber = port.serialNumber();
        device.accessible = !serialPortForbidden(port.systemLocation());
        if (!device.accessible)
            device.text += QLatin1String(" (no access)");
        device.port = port;
        m_local.append(device);
    }
}

int VornicCli::list(bool json, const QStringList &addresses)
{
    InterruptSignal::install();
    listLocal();
    QVector<Listed> devices = m_local;
    int status = ExitSuccess;
    for (const QString &address : addresses) {
        Listed device;
        int port = 0;
        if (!NetworkAddress::parse(address, m_defaultPort, &device.id, &port))
            return fail(ExitUsage, NetworkAddress::notAnAddressText(address));
        NetworkDevice record(device.id, port);
        device.check = checkNetworkDevice(&record);
        if (InterruptSignal::requested())
            return fail(InterruptSignal::exitCode(), QStringLiteral("Stopped while checking %1.").arg(device.id));
        if (device.check != 0 && device.check != 5) {
            // Said, and the listing goes on: exit 3 only when nothing at all
            // is listed.
            fail(ExitNoSuchDevice,
                 NetworkCheck::problemText(device.check, device.id + QLatin1Char(':') + QString::number(port)));
            status = ExitNoSuchDevice;
            continue;
        }
        device.road = QStringLiteral("network");
        device.id += QLatin1Char(':') + QString::number(port);
        device.text = DeviceCatalog::networkRowText(record.type(), record.serialNumber(), record.ip());
        device.serialNumber = record.serialNumber();
        devices.append(device);
    }

    if (json) {
        QJsonArray array;
        for (const Listed &device : qAsConst(devices)) {
            QJsonObject object {
                { QStringLiteral("road"), device.road },
                { QStringLiteral("device"), device.id },
                { QStringLiteral("text"), device.text },
                { QStringLiteral("model"), modelOf(device.text) },
                { QStringLiteral("serialNumber"), device.serialNumber },
                { QStringLiteral("access"), device.accessible },
            };
            if (device.road == QLatin1String("usb")) {
                object.insert(QStringLiteral("product"), device.product);
                object.insert(QStringLiteral("version"), device.version);
                object.insert(QStringLiteral("bootloader"), device.bootloader);
            }
            if (device.road == QLatin1String("network"))
                object.insert(QStringLiteral("networkUpdate"), device.check == 0);
            array.append(object);
        }
        std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), m_out);
    } else {
        for (const Listed &device : qAsConst(devices))
            std::fprintf(m_out, "%-8s %-21s %s\n", qPrintable(device.road), qPrintable(device.id),
                         qPrintable(device.text));
        if (devices.isEmpty())
            fail(ExitSuccess, QStringLiteral("No Ordane device found."));
    }
    std::fflush(m_out);
    return devices.isEmpty() ? status : int(ExitSuccess);
}

// ---------------------------------------------------------------------------
// Update

int VornicCli::updateOne(const QString &deviceName, const QString &imagePath)
{
    // With --json the result is the output; everything else goes to stderr.
    if (m_json)
        m_console->divertOutput();
    m_result = QJsonObject { { QStringLiteral("device"), deviceName } };
    m_bytes = 0;
    m_verificationText.clear();
    QElapsedTimer clock;
    clock.start();
    const int code = update(deviceName, imagePath);
    // What the device took, not what the image holds: a device that refused
    // record 50 got 49 records.
    m_result.insert(QStringLiteral("bytes"), m_bytes);
    m_result.insert(QStringLiteral("seconds"), qRound(clock.elapsed() / 100.0) / 10.0);
    m_result.insert(QStringLiteral("exitCode"), code);
    m_result.insert(QStringLiteral("message"), m_console->lastLine());
    // Exit 0 with --verify is only ever given to a confirmed image.
    m_result.insert(QStringLiteral("verified"), code == ExitSuccess && m_verify);
    // Why an update that was written is not known to hold: said beside it.
    if (!m_verificationText.isEmpty() && (code == ExitSuccess || code == ExitNotVerified))
        m_result.insert(QStringLiteral("reason"), m_verificationText);
    if (m_json) {
        std::fputs(QJsonDocument(QJsonArray { m_result }).toJson(QJsonDocument::Indented).constData(), m_out);
        std::fflush(m_out);
    }
    return code;
}

int VornicCli::updateMany(QStringList devices, const QString &imagePath, bool all, const QStringList &addresses,
                          const QStringList &childOptions)
{
    InterruptSignal::install();
    // Every device named is checked before any is started: a mistake in one
    // name stops them all, rather than leaving the others written.
    for (const QString &name : qAsConst(devices)) {
        QString ip;
        int port = 0;
        if (NetworkAddress::looksLikeAddress(name) && !NetworkAddress::parse(name, m_defaultPort, &ip, &port))
            return fail(ExitUsage, NetworkAddress::notAnAddressText(name));
    }
    for (const QString &address : addresses) {
        QString ip;
        int port = 0;
        if (!NetworkAddress::parse(address, m_defaultPort, &ip, &port))
            return fail(ExitUsage, NetworkAddress::notAnAddressText(address));
    }
    // Read once, for every device.
    m_image = FirmwareImage::read(imagePath);
    if (!m_image.problem().isEmpty())
        return fail(ExitImageProblem, m_image.problem());
    const QString absolute = QFileInfo(imagePath).absoluteFilePath();
    // Who each network device says it is, by its address.
    QMap<QString, QString> networkSerials;
    // One look at the bus, for the choice of --all and for the names.
    listLocal();
    if (all) {
        for (const Listed &device : qAsConst(m_local)) {
            // The same test as a single update's, without --force. What is
            // left out is said (on stderr: the results may be JSON).
            if (device.accessible && modelKnown(device.text) && DeviceCatalog::imageMatches(device.text, absolute, false))
                devices << device.id;
            else
                qWarning("vornic-cli: %s (%s) is left out: %s.", qPrintable(device.id), qPrintable(device.text),
                         !device.accessible ? "no access" : "the image is not for its model");
        }
        for (const QString &address : addresses) {
            QString ip;
            int port = 0;
            NetworkAddress::parse(address, m_defaultPort, &ip, &port);
            NetworkDevice record(ip, port);
            const int checked = checkNetworkDevice(&record);
            const bool answers = checked == 0;
            // Its model is known only once it has answered.
            const QString text = DeviceCatalog::networkRowText(record.type(), record.serialNumber(), record.ip());
            const QString where = ip + QLatin1Char(':') + QString::number(port);
            if (answers && modelKnown(text) && DeviceCatalog::imageMatches(text, absolute, true)) {
                devices << where;
                networkSerials.insert(where, record.serialNumber());
            } else if (answers) {
                qWarning("vornic-cli: %s (%s) is left out: the image is not for its model.", qPrintable(where),
                         qPrintable(text));
            } else {
                qWarning("vornic-cli: %s is left out: %s", qPrintable(where),
                         qPrintable(NetworkCheck::problemText(checked, where)));
            }
            if (InterruptSignal::requested()) {
                releaseUsb();
                return fail(InterruptSignal::exitCode(), QStringLiteral("Stopped while checking %1.").arg(address));
            }
        }
        if (devices.isEmpty()) {
            releaseUsb();
            return fail(ExitNoSuchDevice, QStringLiteral("No listed device takes the image %1.").arg(imagePath));
        }
    }
    devices.removeDuplicates();
    // One device named twice (by its port and its serial number, an address
    // with and without the default port, two addresses that reach the same
    // device) would get two updates at once: refused before anything is
    // sent. A network device is known only by what it says it is, its
    // serial number (a forwarder or a second interface gives it two
    // addresses).
    QMap<QString, QString> named;           // the device each name stands for, by the first name
    QStringList skipped;
    for (const QString &name : qAsConst(devices)) {
        QString ip;
        int port = 0;
        QStringList keys { name };
        if (NetworkAddress::parse(name, m_defaultPort, &ip, &port)) {
            const QString where = ip + QLatin1Char(':') + QString::number(port);
            keys = QStringList { where };
            if (!all && !networkSerials.contains(where)) {
                NetworkDevice record(ip, port);
                const int checked = checkNetworkDevice(&record);
                if (InterruptSignal::requested()) {
                    releaseUsb();
                    return fail(InterruptSignal::exitCode(), QStringLiteral("Stopped while checking %1.").arg(name));
                }
                if (checked == 0 || checked == 5)
                    networkSerials.insert(where, record.serialNumber());
            }
            if (!networkSerials.value(where).isEmpty())
                keys << QStringLiteral("serial ") + networkSerials.value(where);
        } else {
            // A local device is the one at its port: two at two ports are two,
            // even with one serial number.
            const QVector<Listed> found = localMatches(name);
            if (found.size() == 1)
                keys = QStringList { found.first().road + QLatin1Char(' ') + found.first().id };
        }
        QString twice;
        for (const QString &key : qAsConst(keys)) {
            if (named.contains(key))
                twice = key;
        }
        // Found twice by --all (one network device at two addresses given
        // with --ip): written once.
        if (!twice.isEmpty() && all) {
            note(QStringLiteral("%1 is %2; it is written once.").arg(name, named.value(twice)));
            skipped << name;
            continue;
        }
        for (const QString &key : qAsConst(keys)) {
            if (named.contains(key)) {
                releaseUsb();
                return fail(ExitUsage, QStringLiteral("%1 and %2 name the same device%3; name each device once.")
                                           .arg(named.value(key), name,
                                                key.startsWith(QLatin1String("serial "))
                                                    ? QStringLiteral(" (serial number %1)").arg(key.mid(7))
                                                    : QString()));
            }
        }
        for (const QString &key : qAsConst(keys))
            named.insert(key, name);
    }
    releaseUsb();
    for (const QString &name : qAsConst(skipped))
        devices.removeAll(name);
    FleetUpdate fleet(m_out, stderr, this);
    return fleet.run(QCoreApplication::applicationFilePath(), devices, imagePath, m_image.bytes(), childOptions,
                     m_json);
}

int VornicCli::update(const QString &deviceName, const QString &imagePath)
{
    InterruptSignal::install();
    QString ip;
    int port = 0;
    const bool address = NetworkAddress::parse(deviceName, m_defaultPort, &ip, &port);
    if (!address && NetworkAddress::looksLikeAddress(deviceName))
        return fail(ExitUsage, NetworkAddress::notAnAddressText(deviceName));
    // Read once, before any device is told anything (on the two-phase roads
    // it would otherwise restart into its bootloader for nothing); these
    // bytes are written and checked, whatever becomes of the file.
    m_image = m_imageOnStdin ? FirmwareImage::fromBytes(imagePath, readStandardInput())
                             : FirmwareImage::read(imagePath);
    if (m_imageOnStdin && FirmwareImage::digestOf(m_image.bytes()) != m_imageDigest)
        return fail(ExitImageProblem, QStringLiteral("The firmware image %1 did not arrive whole from the command "
                                                     "that started this update; nothing was written.").arg(imagePath));
    if (!m_image.problem().isEmpty())
        return fail(ExitImageProblem, m_image.problem());
    if (address)
        return updateNetwork(deviceName, imagePath);

    // Only the named device is opened: several of these may run at once,
    // each writing its own device, and none may disturb another's.
    listLocal([&deviceName](libusb_device *device) { return UsbDeviceList::mayBeNamed(device, deviceName); });
    const QVector<Listed> found = localMatches(deviceName);
    if (found.isEmpty())
        return fail(ExitNoSuchDevice, QStringLiteral("No Ordane device %1 is connected; vornic-cli list shows "
                                                     "the devices there are.").arg(deviceName));
    if (found.size() > 1)
        return fail(ExitNoSuchDevice, QStringLiteral("%1 devices answer to %2; name one by its USB port path or "
                                                     "serial port (vornic-cli list).").arg(found.size()).arg(deviceName));
    const Listed device = found.first();
    m_result.insert(QStringLiteral("serialNumber"), device.serialNumber);
    m_result.insert(QStringLiteral("text"), device.text);
    if (!device.accessible)
        return fail(ExitNoAccess, device.road == QLatin1String("usb")
                                      ? DfuEngine::noAccessText()
                                      : QStringLiteral("This user may not open the serial port %1: add the user to "
                                                       "the dialout group and log in again, or install Ordane's "
                                                       "device access rules.").arg(device.port.systemLocation()));
    if (!checkImageFits(device.text, imagePath, false))
        return ExitImageProblem;
    // As the window does before it tells the device anything.
    LocalServerNudge::nudge(device.text, this);
    return device.road == QLatin1String("usb") ? updateUsb(device, imagePath) : updateSerial(device, imagePath);
}

QVector<VornicCli::Listed> VornicCli::localMatches(const QString &deviceName) const
{
    const bool usbPath = UsbDeviceList::isPortPath(deviceName);
    const QString portName = deviceName.startsWith(QLatin1String("/dev/")) ? deviceName.mid(5) : deviceName;
    QVector<Listed> found;
    for (const Listed &device : qAsConst(m_local)) {
        if ((usbPath && device.road == QLatin1String("usb") && device.id == deviceName)
            || (device.road == QLatin1String("serial") && device.id == portName)
            || (!usbPath && device.serialNumber == deviceName))
            found.append(device);
    }
    return found;
}

bool VornicCli::modelKnown(const QString &rowText)
{
    return !DeviceCatalog::isUnknownRow(rowText) && DeviceCatalog::typeOfRow(rowText) != 0;
}

bool VornicCli::checkImageFits(const QString &rowText, const QString &imagePath, bool networkDevice)
{
    QString why;
    if (!modelKnown(rowText))
        why = QStringLiteral("The model of %1 is unknown").arg(rowText);
    else if (!DeviceCatalog::imageMatches(rowText, QFileInfo(imagePath).absoluteFilePath(), networkDevice))
        why = QStringLiteral("The firmware image %1 doesn't match the device type of %2. %3")
                  .arg(imagePath, rowText, DeviceCatalog::imageRequirement(rowText, networkDevice));
    else
        return true;
    if (!why.endsWith(QLatin1Char('.')))
        why += QLatin1Char('.');
    if (m_force) {
        note(why + QLatin1String(" Writing it anyway (--force)."));
        return true;
    }
    fail(ExitImageProblem, why + QLatin1String(" If it is the right image all the same, --force writes it."));
    return false;
}

int VornicCli::runDfu(libusb_device *device, const QString &imagePath, bool mayDetach, bool *detached)
{
    std::atomic<bool> detachIssued { false };
    std::atomic<int> detachedBus { -1 }, detachedPort { -1 }, mode { -1 };
    DfuEngine engine(m_emitter, { detachIssued, detachedBus, detachedPort, mode });
    engine.setStopFlag(&InterruptSignal::flag());
    engine.setDetachAllowed(mayDetach);
    engine.setVerify(m_verify);
    engine.setImage(m_image);
    m_errors.clear();
    const int result = engine.update(device, imagePath);
    m_bytes = engine.bytesTaken();
    *detached = mode == 1;
    m_verification = engine.verification();
    m_verificationText = engine.verificationText();
    return result;
}

int VornicCli::usbFailure(int result)
{
    return failed(UpdateOutcome::fromDfu(result, m_verification, m_verificationText, m_errors.value(0), m_verify));
}

int VornicCli::failed(const UpdateOutcome &outcome)
{
    return fail(exitCodeOf(outcome), outcome.reason());
}

int VornicCli::exitCodeOf(const UpdateOutcome &outcome)
{
    switch (outcome.kind()) {
    case UpdateOutcome::Verified:
    case UpdateOutcome::Updated:
        return ExitSuccess;
    case UpdateOutcome::NotVerifiable:
        return ExitNotVerified;
    case UpdateOutcome::Differs:
        return ExitVerifyFailed;
    case UpdateOutcome::NoDevice:
        return ExitNoSuchDevice;
    case UpdateOutcome::NoAccess:
        return ExitNoAccess;
    case UpdateOutcome::ImageRefused:
        return ExitImageProblem;
    case UpdateOutcome::DeviceRefused:
        return ExitDeviceRefused;
    case UpdateOutcome::Timeout:
        return ExitTimeout;
    case UpdateOutcome::Stopped:
        return InterruptSignal::exitCode();
    case UpdateOutcome::LinkLost:
    case UpdateOutcome::Failed:
        break;
    }
    return ExitFailure;
}

int VornicCli::updateUsb(const Listed &device, const QString &imagePath)
{
    dfuInit(dfuTimeout);
    QElapsedTimer elapsed;
    elapsed.start();
    // A device in its application is only told to detach here. Whatever is
    // on the bus before that cannot be its return.
    AwaitedDevice awaited;
    awaited.mode = AwaitedDevice::AfterDetach;
    awaited.portPath = device.id;
    awaited.present = UsbDeviceList::devicesOnBus();
    QString written = writtenText(m_usb.at(device.usbIndex));
    if (device.bootloader)
        m_progress->setLabel(QStringLiteral("Writing %1").arg(device.text));
    bool detached = false;
    const int result = runDfu(m_usb.at(device.usbIndex).device, imagePath, true, &detached);
    if (result < 0)
        return usbFailure(result);
    if (detached) {
        const int code = writeReturned(awaited, device, imagePath, &written);
        if (code != ExitSuccess)
            return code;
    }
    return updatedUsb(written, imagePath, elapsed);
}

int VornicCli::updateSerial(const Listed &device, const QString &imagePath)
{
    dfuInit(dfuTimeout);
    QElapsedTimer elapsed;
    elapsed.start();
    AwaitedDevice awaited;
    awaited.mode = AwaitedDevice::AfterSerialBoot;
    awaited.serialNumber = device.serialNumber;
    awaited.present = UsbDeviceList::devicesOnBus();
    QString why;
    const int sent = SerialBootRequest::send(device.port.portName(), &why);
    if (sent == SerialBootRequest::PortBusy || sent == SerialBootRequest::NoAccess)
        return fail(ExitNoAccess, why);
    if (sent != SerialBootRequest::Sent)
        return fail(ExitFailure, why);
    QString written;
    const int code = writeReturned(awaited, device, imagePath, &written);
    if (code != ExitSuccess)
        return code;
    return updatedUsb(written, imagePath, elapsed);
}

int VornicCli::writeReturned(const AwaitedDevice &awaited, const Listed &device, const QString &imagePath,
                             QString *written)
{
    note(QStringLiteral("%1 restarts into its bootloader...").arg(device.text));
    int code = ExitSuccess;
    const int index = awaitReturn(awaited, &code);
    if (index < 0)
        return code;
    const UsbDeviceEntry &entry = m_usb.at(index);
    *written = writtenText(entry);
    m_progress->setLabel(QStringLiteral("Writing %1").arg(*written));
    bool detached = false;
    const int result = runDfu(entry.device, imagePath, false, &detached);
    if (result < 0)
        return usbFailure(result);
    return ExitSuccess;
}

int VornicCli::updated(const QString &text, const QString &imagePath, const QElapsedTimer &elapsed,
                       const QString &remark)
{
    note(QStringLiteral("Updated %1 with %2 in %3 s%4.")
             .arg(text, imagePath, QString::number(elapsed.elapsed() / 1000.0, 'f', 1), remark));
    return ExitSuccess;
}

int VornicCli::updatedUsb(const QString &text, const QString &imagePath, const QElapsedTimer &elapsed)
{
    const UpdateOutcome outcome = UpdateOutcome::fromDfu(0, m_verification, m_verificationText, QString(), m_verify);
    switch (outcome.kind()) {
    case UpdateOutcome::Verified:
        return updated(text, imagePath, elapsed, QStringLiteral(" (verified: read back byte for byte)"));
    case UpdateOutcome::NotVerifiable:
        return notVerified(text, imagePath, outcome.reason());
    default:
        return updated(text, imagePath, elapsed,
                       outcome.reason().isEmpty() ? QString()
                                                  : QStringLiteral(" (not confirmed by the device: %1)").arg(outcome.reason()));
    }
}

int VornicCli::notVerified(const QString &text, const QString &imagePath, const QString &why)
{
    return fail(ExitNotVerified, QStringLiteral("Wrote %1 with %2, but could not verify it: %3.").arg(text, imagePath, why));
}

int VornicCli::awaitReturn(const AwaitedDevice &awaited, int *code)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < qint64(m_waitSeconds) * 1000) {
        if (InterruptSignal::requested()) {
            *code = fail(InterruptSignal::exitCode(),
                         QStringLiteral("Stopped while waiting for the device to come back in its bootloader; "
                                        "nothing was written."));
            return -1;
        }
        // Only the bus: the device comes back on USB. Devices that cannot be
        // it are left alone (another update may be writing them).
        listUsb([&awaited](libusb_device *device) { return UsbDeviceList::mayBeReturned(device, awaited); });
        int candidates = 0;
        const int found = UsbDeviceList::findReturnedDevice(awaited, m_usb, &candidates);
        if (candidates > 1) {
            *code = fail(ExitNoSuchDevice, UsbDeviceList::ambiguousReturnText(awaited, candidates));
            return -1;
        }
        if (found >= 0) {
            if (!m_usb.at(found).accessible) {
                *code = fail(ExitNoAccess, DfuEngine::noAccessText());
                return -1;
            }
            return found;
        }
        // Events keep flowing meanwhile (a device emulated in this process
        // re-enumerates on them).
        QElapsedTimer pause;
        pause.start();
        while (pause.elapsed() < pollInterval) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, pollInterval);
            QThread::msleep(10);
        }
    }
    *code = fail(ExitTimeout, QStringLiteral("The device did not come back in its bootloader within %1 seconds; "
                                             "the firmware was not updated.").arg(m_waitSeconds));
    return -1;
}

int VornicCli::updateNetwork(const QString &address, const QString &imagePath)
{
    QString ip;
    int port = 0;
    NetworkAddress::parse(address, m_defaultPort, &ip, &port);
    // Messages name the whole place: a device may listen on another port.
    const QString where = ip + QLatin1Char(':') + QString::number(port);
    QElapsedTimer elapsed;
    elapsed.start();
    // An image that no records can address is refused before the device
    // is asked anything.
    const QString tooLarge = UploadTask::fitProblem(imagePath, m_image.size());
    if (m_image.isRead() && !tooLarge.isEmpty())
        return fail(ExitImageProblem, tooLarge);
    NetworkDevice device(ip, port);
    const int checked = checkNetworkDevice(&device);
    if (InterruptSignal::requested())
        return fail(InterruptSignal::exitCode(), QStringLiteral("Stopped before anything was written."));
    if (checked == 2)
        return fail(ExitNoSuchDevice, NetworkCheck::problemText(checked, where));
    if (checked == 5 && m_force)
        note(NetworkCheck::problemText(checked, where) + QLatin1String(" Trying anyway (--force)."));
    else if (checked != 0)
        return fail(ExitDeviceRefused, NetworkCheck::problemText(checked, where)
                                           + (checked == 5 ? QLatin1String(" Give --force to try anyway.")
                                                           : QLatin1String("")));
    const QString text = DeviceCatalog::networkRowText(device.type(), device.serialNumber(), device.ip());
    m_result.insert(QStringLiteral("serialNumber"), device.serialNumber());
    m_result.insert(QStringLiteral("text"), text);
    if (!checkImageFits(text, imagePath, true))
        return ExitImageProblem;
    LocalServerNudge::nudge(text, this);

    UploadTask task(&device, imagePath);
    task.setImage(m_image);
    int result = -1;
    connect(&task, &Task::taskFinished, this, [&result](int code) { result = code; });
    connect(&task, &Task::uploadStart, m_progress, &CliProgress::setRange);
    connect(&task, &Task::uploadProgress, m_progress, &CliProgress::setValue);
    // The upload waits in nested event loops; Ctrl+C is looked at from
    // there and stops it after its current record, as the window's Stop.
    QTimer watch;
    connect(&watch, &QTimer::timeout, &task, [&task] {
        if (InterruptSignal::requested())
            task.stop();
    });
    watch.start(100);
    m_progress->setLabel(QStringLiteral("Writing %1").arg(text));
    task.run();
    watch.stop();
    m_progress->finish();
    m_bytes = task.acknowledgedBytes();

    // A 'W' image (named INB) has no check and no header that would make
    // it the device's firmware only when whole.
    const bool recordsOnly = UploadTask::modeOf(imagePath) == 'W';
    if (InterruptSignal::requested() && result < 0)
        return fail(InterruptSignal::exitCode(),
                    recordsOnly ? QStringLiteral("Stopped before the device had every record of the image; it was "
                                                 "told nothing more.")
                                : QStringLiteral("Stopped before the device had the whole image checked; it was told "
                                                 "nothing more and keeps its firmware."));
    const UpdateOutcome outcome = UpdateOutcome::fromUpload(result, task, where, m_verify);
    if (!outcome.wroteImage())
        return failed(outcome);

    if (m_reboot) {
        Command command(this, &device);
        command.reboot();
        if (!command.rebootAccepted()) {
            updated(text, imagePath, elapsed, QStringLiteral(" (checked by the device)"));
            return fail(ExitDeviceRefused, Command::rebootNotConfirmedText());
        }
        note(QStringLiteral("%1 restarts into its new firmware.").arg(text));
    } else if (result == 0) {
        // As the window's Cancel: the device closes the image and goes on.
        Command(this, &device).closeImage();
    }
    // With --verify the device's check of an 'I' image is the verification;
    // a 'W' image has none.
    if (outcome.kind() == UpdateOutcome::NotVerifiable) {
        m_verificationText = outcome.reason();
        return notVerified(text, imagePath, m_verificationText);
    }
    return updated(text, imagePath, elapsed,
                   result != 0 ? QString()
                   : m_verify  ? QStringLiteral(" (verified by the device's own check of the whole image)")
                               : QStringLiteral(" (checked by the device)"));
}
