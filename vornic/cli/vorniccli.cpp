#include "vorniccli.h"

#include "backupreport.h"
#include "backupstore.h"
#include "cliconsole.h"
#include "cliprogress.h"
#include "devicecatalog.h"
#include "emitter.h"
#include "exitcode.h"
#include "devicelisting.h"
#include "fleetchoice.h"
#include "historyreport.h"
#include "fleetupdate.h"
#include "localroad.h"
#include "networkroad.h"
#include "safetext.h"
#include "stationrun.h"
#include "imagefile.h"
#include "interruptsignal.h"
#include "localservernudge.h"
#include "network/command.h"
#include "network/networkaddress.h"
#include "network/networkcheck.h"
#include "network/networkdevice.h"
#include "network/uploadtask.h"
#include "updateoutcome.h"
#include "update/deviceinventory.h"
#include "updaterecord.h"
#include "usb/dfuengine.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

VornicCli::VornicCli(std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_console(new CliConsole(QStringLiteral("vornic-cli"), helpText(), out, err, this))
    , m_progress(m_console->progress())
    , m_emitter(new Emitter(this))
{
    connect(m_emitter, &Emitter::load_start, m_progress, &CliProgress::setRange);
    connect(m_emitter, &Emitter::load_progress, m_progress, &CliProgress::setValue);
}

VornicCli::~VornicCli() = default;

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
    const QCommandLineOption sha256(QStringLiteral("sha256"), QString(), QStringLiteral("hex"));
    const QCommandLineOption includePresent(QStringLiteral("include-present"));
    const QCommandLineOption again(QStringLiteral("again"));
    const QCommandLineOption count(QStringLiteral("count"), QString(), QStringLiteral("n"));
    const QCommandLineOption backup(QStringLiteral("backup"));
    const QCommandLineOption row(QStringLiteral("row"), QString(), QStringLiteral("id"));
    const QCommandLineOption prune(QStringLiteral("prune-older-than"), QString(), QStringLiteral("days"));
    parser.addOptions({ json, ip, force, reboot, verify, wait, all, imageOnStdin, sha256, includePresent, again, count,
                        backup, row, prune });
    HistoryReport::addOptions(parser, false);
    int code = ExitSuccess;
    if (!m_console->parse(parser, arguments, &code))
        return code;
    m_force = parser.isSet(force);
    m_reboot = parser.isSet(reboot);
    m_verify = parser.isSet(verify);
    m_backup = parser.isSet(backup);
    m_imageOnStdin = parser.isSet(imageOnStdin);
    m_imageDigest = parser.value(imageOnStdin).toLatin1();
    m_expectedSha256 = parser.value(sha256);
    if (parser.isSet(wait)) {
        bool ok = false;
        m_waitSeconds = parser.value(wait).toInt(&ok);
        if (!ok || m_waitSeconds <= 0)
            return fail(ExitUsage, QStringLiteral("--wait takes a number of seconds above 0."));
    }

    const QStringList positional = parser.positionalArguments();
    const QString command = positional.value(0);
    // Every option acts or is refused: none is ignored by a command that
    // does not take it.
    const QStringList commands { QStringLiteral("list"), QStringLiteral("update"), QStringLiteral("history"),
                                 QStringLiteral("station"), QStringLiteral("read"), QStringLiteral("restore"),
                                 QStringLiteral("backups") };
    const QStringList update { QStringLiteral("update") };
    const QStringList restore { QStringLiteral("restore") };
    const QStringList station { QStringLiteral("station") };
    const QStringList writing { QStringLiteral("update"), QStringLiteral("station") };
    const QStringList restarting { QStringLiteral("update"), QStringLiteral("station"), QStringLiteral("read"),
                                   QStringLiteral("restore") };
    QHash<QString, QStringList> takenBy {
        { QStringLiteral("json"), commands.mid(0, 4) + restore }, { QStringLiteral("ip"), commands.mid(0, 2) },
        { QStringLiteral("force"), update + restore }, { QStringLiteral("reboot"), update },
        { QStringLiteral("verify"), writing }, { QStringLiteral("backup"), update },
        { QStringLiteral("row"), restore }, { QStringLiteral("prune-older-than"), { QStringLiteral("backups") } },
        { QStringLiteral("wait"), restarting }, { QStringLiteral("all"), update }, { QStringLiteral("sha256"), writing },
        { QStringLiteral("image-on-stdin"), update }, { QStringLiteral("include-present"), station },
        { QStringLiteral("again"), station }, { QStringLiteral("count"), station },
    };
    HistoryReport::claimOptions(&takenBy, false);
    if (commands.contains(command) && !m_console->optionsFit(parser, command, takenBy, &code))
        return code;
    const QString sha256Problem = parser.isSet(sha256) ? CliConsole::sha256Problem(m_expectedSha256) : QString();
    if (!sha256Problem.isEmpty())
        return fail(ExitUsage, sha256Problem);
    if (command == QLatin1String("list") && positional.size() == 1)
        return DeviceListing(&m_inventory, m_defaultPort, m_console, m_out).run(parser.isSet(json), parser.values(ip));
    if (command == QLatin1String("history") && positional.size() == 1) {
        UpdateHistory history(QStringLiteral("vornic-cli"), QStringLiteral(ORDANE_VERSION),
                              UpdateRecord::settingsFile(QStringLiteral("Vornic")));
        return HistoryReport::run(parser, &history, m_out, m_console);
    }
    m_json = parser.isSet(json);
    if (command == QLatin1String("read")) {
        if (positional.size() != 3)
            return fail(ExitUsage, QStringLiteral("Name the device and the file: vornic-cli read DEVICE FILE."));
        return readOne(positional.at(1), positional.at(2));
    }
    if (command == QLatin1String("restore")) {
        if (positional.size() != 2)
            return fail(ExitUsage, QStringLiteral("Name the device: vornic-cli restore DEVICE [--row ID]."));
        if (parser.isSet(row)) {
            bool ok = false;
            m_restoreRow = parser.value(row).toLongLong(&ok);
            if (!ok || m_restoreRow <= 0)
                return fail(ExitUsage, QStringLiteral("--row takes the id of a history row (vornic-cli history shows "
                                                      "them first)."));
        }
        m_restoring = true;
        return updateOne(positional.at(1), QString());
    }
    if (command == QLatin1String("backups")) {
        if (positional.size() != 1)
            return fail(ExitUsage, QStringLiteral("vornic-cli backups takes no arguments, only "
                                                  "[--prune-older-than DAYS]."));
        int days = -1;
        if (parser.isSet(prune)) {
            bool ok = false;
            days = parser.value(prune).toInt(&ok);
            if (!ok || days < 0)
                return fail(ExitUsage, QStringLiteral("--prune-older-than takes a number of days (0 or more)."));
        }
        UpdateHistory history(QStringLiteral("vornic-cli"), QStringLiteral(ORDANE_VERSION),
                              UpdateRecord::settingsFile(QStringLiteral("Vornic")));
        BackupStore store;
        return BackupReport(&history, &store, m_console, m_out).run(days);
    }
    if (command == QLatin1String("station")) {
        if (positional.size() != 2)
            return fail(ExitUsage, QStringLiteral("The station takes the image alone (vornic-cli station IMAGE); see "
                                                  "vornic-cli --help."));
        ProductionStation::Options options;
        options.verify = m_verify;
        options.includePresent = parser.isSet(includePresent);
        options.again = parser.isSet(again);
        options.returnTimeoutMs = m_waitSeconds * 1000;
        if (parser.isSet(count)) {
            bool ok = false;
            options.count = parser.value(count).toInt(&ok);
            if (!ok || options.count <= 0)
                return fail(ExitUsage, QStringLiteral("--count takes a number of devices above 0."));
        }
        return runStation(positional.at(1), options);
    }
    // What every device's own process is told, for several at once.
    QStringList childOptions;
    for (const QCommandLineOption &option : { force, reboot, verify, backup }) {
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
        return fail(ExitUsage, QStringLiteral("Say what to do: list, update, read, restore, backups, station or "
                                              "history; see vornic-cli --help."));
    return fail(ExitUsage, QStringLiteral("Unknown command or wrong arguments: %1; see vornic-cli --help.")
                               .arg(positional.join(QLatin1Char(' '))));
}

int VornicCli::runStation(const QString &imagePath, ProductionStation::Options options)
{
    // Read once: every device of the run gets these bytes, whatever
    // becomes of the file.
    m_image = FirmwareImage::read(imagePath);
    if (!m_image.problem().isEmpty())
        return fail(ExitImageProblem, m_image.problem());
    if (!m_expectedSha256.isEmpty() && !m_image.mismatchWith(m_expectedSha256).isEmpty())
        return fail(ExitWrongImage, m_image.mismatchWith(m_expectedSha256));
    options.program = QStringLiteral("vornic-cli station");
    StationRun station(m_console, m_out, stderr, this);
    return station.run(m_image, options, m_json);
}

int VornicCli::fail(int code, const QString &sentence)
{
    return m_console->fail(code, sentence);
}

void VornicCli::note(const QString &line)
{
    m_console->note(line);
}

void VornicCli::openRow()
{
    if (m_history && !m_history->isOpen())
        m_history->begin(UpdateHistory::Entry(m_history->entry()));
}

UpdateOutcome VornicCli::readImage(const QString &imagePath)
{
    // Read once, before any device is told anything (on the two-phase roads
    // it would otherwise restart into its bootloader for nothing); these
    // bytes are written and checked, whatever becomes of the file.
    m_image = m_imageOnStdin ? FirmwareImage::fromStream(imagePath, stdin, m_imageDigest)
                             : FirmwareImage::read(imagePath);
    if (m_imageOnStdin && m_image.isEmpty()) {
        // The parent closed the stream unwritten: stopped, or one of its
        // devices answered under two names. It says why; nothing is sent.
        m_noImageSent = true;
        return UpdateOutcome(InterruptSignal::requested() ? UpdateOutcome::Stopped : UpdateOutcome::NotStarted,
                             QStringLiteral("Nothing was written: the update of several devices did not go ahead."));
    }
    openRow();
    if (m_image.isRead() && !m_expectedSha256.isEmpty() && !m_image.mismatchWith(m_expectedSha256).isEmpty())
        return said(UpdateOutcome(UpdateOutcome::WrongImage, m_image.mismatchWith(m_expectedSha256)));
    if (!m_image.problem().isEmpty())
        return said(UpdateOutcome(UpdateOutcome::ImageRefused, m_image.problem()));
    return UpdateOutcome(UpdateOutcome::Updated);
}

void VornicCli::describeForHistory(bool write)
{
    if (!m_history)
        return;
    UpdateHistory::Entry &entry = m_history->entry();
    entry.road = m_road;
    entry.place = m_place;
    entry.serialNumber = m_result.value(QLatin1String("serialNumber")).toString();
    const QString text = m_result.value(QLatin1String("text")).toString();
    entry.model = text.isEmpty() ? QString() : DeviceCatalog::modelOf(text);
    if (write)
        m_history->describe(m_image);
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
    m_road.clear();
    m_place = deviceName;
    QElapsedTimer clock;
    clock.start();
    UpdateRecord history(QStringLiteral("vornic-cli"), UpdateRecord::settingsFile(QStringLiteral("Vornic")));
    history.entry().place = deviceName;
    history.entry().imagePath = imagePath;
    m_history = &history;
    if (!m_imageOnStdin)
        openRow();
    const UpdateOutcome outcome = m_restoring ? restore(deviceName) : update(deviceName, imagePath);
    if (!m_noImageSent)
        openRow();
    const int code = exitCodeOf(outcome, InterruptSignal::exitCode());
    // What the device took, not what the image holds: a device that refused
    // record 50 got 49 records.
    m_result.insert(QStringLiteral("bytes"), m_bytes);
    m_result.insert(QStringLiteral("seconds"), qRound(clock.elapsed() / 100.0) / 10.0);
    m_result.insert(QStringLiteral("exitCode"), code);
    // The name its history row has.
    m_result.insert(QStringLiteral("outcome"), outcome.name());
    m_result.insert(QStringLiteral("message"), m_console->lastLine());
    m_result.insert(QStringLiteral("verified"), outcome.verified());
    if (m_image.isRead())
        m_result.insert(QStringLiteral("sha256"), m_image.sha256());
    if (!history.entry().backupSha256.isEmpty())
        m_result.insert(QStringLiteral("backupSha256"), history.entry().backupSha256);
    if (history.entry().restoredRow > 0)
        m_result.insert(QStringLiteral("restoredRow"), history.entry().restoredRow);
    // Why an update that was written is not known to hold: said beside it.
    if (outcome.wroteImage() && !outcome.reason().isEmpty())
        m_result.insert(QStringLiteral("reason"), outcome.reason());
    // (Finishing the row writes it whole.)
    describeForHistory(false);
    history.noteImage(m_image);
    m_console->endRecord(&history, outcome);
    m_history = nullptr;
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
    FleetChoice choice(&m_inventory, m_defaultPort, m_console);
    // Every name is checked before the image is read or any device started.
    const int named = choice.checkNames(devices, addresses);
    if (named != ExitSuccess)
        return named;
    // Refused before any device starts: each device named still has its row
    // in the history, saying why nothing was sent.
    const auto refuse = [&](UpdateOutcome::Kind kind, const QString &why) {
        const UpdateOutcome outcome(kind, why);
        for (const QString &device : devices.isEmpty() ? QStringList { QString() } : devices) {
            UpdateRecord row(QStringLiteral("vornic-cli"), UpdateRecord::settingsFile(QStringLiteral("Vornic")));
            row.begin(device, imagePath);
            row.noteImage(m_image);
            m_console->endRecord(&row, outcome);
        }
        return failed(outcome);
    };
    // Read once, for every device.
    m_image = FirmwareImage::read(imagePath);
    if (!m_image.problem().isEmpty())
        return refuse(UpdateOutcome::ImageRefused, m_image.problem());
    // Hashed once, before any device starts.
    if (!m_expectedSha256.isEmpty() && !m_image.mismatchWith(m_expectedSha256).isEmpty())
        return refuse(UpdateOutcome::WrongImage, m_image.mismatchWith(m_expectedSha256));
    const int chosen = choice.choose(&devices, imagePath, all, addresses);
    if (chosen != ExitSuccess)
        return chosen;
    // A network device is known only by what it says it is: each says so
    // before any is written, and one device under two addresses (a
    // forwarder, a second interface) is refused then.
    QStringList identifying;
    for (const QString &device : qAsConst(devices)) {
        QString ip;
        int port = 0;
        if (NetworkAddress::parse(device, m_defaultPort, &ip, &port))
            identifying << device;
    }
    FleetUpdate fleet(m_out, stderr, this);
    const int code = fleet.run(QCoreApplication::applicationFilePath(), devices, identifying, imagePath,
                               m_image.bytes(), childOptions, m_json);
    return code < 0 ? fail(ExitUsage, fleet.refusal()) : code;
}

UpdateOutcome VornicCli::update(const QString &deviceName, const QString &imagePath)
{
    InterruptSignal::install();
    QString ip;
    int port = 0;
    const bool address = NetworkAddress::parse(deviceName, m_defaultPort, &ip, &port);
    if (!address && NetworkAddress::looksLikeAddress(deviceName))
        return said(UpdateOutcome(UpdateOutcome::NotStarted, NetworkAddress::notAnAddressText(deviceName)));
    if (address && m_backup)
        return said(UpdateOutcome(UpdateOutcome::Unreadable,
                                  QStringLiteral("A network device cannot be read, so it cannot be backed up; nothing "
                                                 "was written (without --backup it is written as usual).")));
    // A network device sent several at once is identified first: its
    // parent hands out the image once every device has said who it is.
    if (address && m_imageOnStdin)
        return updateNetwork(deviceName, imagePath);
    const UpdateOutcome image = readImage(imagePath);
    if (image.kind() != UpdateOutcome::Updated)
        return image;
    if (address)
        return updateNetwork(deviceName, imagePath);

    LocalDevice device;
    UpdateOutcome refusal;
    if (!findLocal(deviceName, &device, &refusal))
        return refusal;
    if (!checkImageFits(device.text, imagePath, false, &refusal))
        return refusal;
    return writeLocal(device, imagePath, m_verify);
}

UpdateOutcome VornicCli::writeLocal(const LocalDevice &device, const QString &imagePath, bool verify)
{
    // As the window does before it tells the device anything.
    LocalServerNudge::nudge(device.text, this);
    describeForHistory();
    QElapsedTimer elapsed;
    elapsed.start();
    LocalRoad road(m_emitter, m_console, m_progress);
    road.setBackup(m_backup);
    connect(&road, &LocalRoad::backedUp, this, [this](const QString &sha256, qint64 size) {
        if (m_history)
            m_history->noteBackup(sha256, size);
        note(QStringLiteral("Backed up what the device held: %1 bytes, SHA-256 %2 (vornic-cli restore puts it "
                            "back).").arg(size).arg(sha256));
        const QString over = BackupReport::storeTooLarge(UpdateRecord::settingsFile(QStringLiteral("Vornic")));
        if (!over.isEmpty())
            m_console->warn(over);
    });
    const UpdateOutcome outcome = road.run(&m_inventory, device, m_image, verify, m_waitSeconds);
    m_bytes = road.bytesTaken();
    if (!outcome.wroteImage())
        return said(outcome);
    if (outcome.kind() == UpdateOutcome::NotVerifiable)
        return notVerified(outcome, road.written(), imagePath);
    sayUpdated(road.written(), imagePath, elapsed,
               outcome.verified()          ? QStringLiteral(" (verified: read back byte for byte)")
               : outcome.reason().isEmpty() ? QString()
                                           : QStringLiteral(" (not confirmed by the device: %1)").arg(outcome.reason()));
    return outcome;
}

UpdateOutcome VornicCli::restore(const QString &deviceName)
{
    InterruptSignal::install();
    if (NetworkAddress::looksLikeAddress(deviceName))
        return said(UpdateOutcome(UpdateOutcome::Unreadable,
                                  QStringLiteral("A network device cannot be read, so no backup of one is kept; "
                                                 "nothing was written.")));
    UpdateHistory::Entry backedUp;
    UpdateOutcome refusal;
    QByteArray bytes;
    UpdateHistory history(QStringLiteral("vornic-cli"), QStringLiteral(ORDANE_VERSION),
                          UpdateRecord::settingsFile(QStringLiteral("Vornic")));
    BackupStore store;
    if (!BackupReport(&history, &store, m_console, m_out).findBackup(deviceName, m_restoreRow, &backedUp, &bytes,
                                                                     &refusal))
        return said(refusal);
    m_history->entry().restoredRow = backedUp.id;
    m_image = FirmwareImage::fromBytes(store.pathOf(backedUp.backupSha256), bytes);
    m_history->entry().imagePath = m_image.path();
    LocalDevice device;
    if (!findLocal(deviceName, &device, &refusal))
        return refusal;
    // A device's firmware goes back into that device: another one of the
    // same model may hold other settings, or another customer's keys.
    if (!backedUp.serialNumber.isEmpty() && device.serialNumber != backedUp.serialNumber && !m_force)
        return said(UpdateOutcome(UpdateOutcome::NotStarted,
                                  QStringLiteral("The backup of row %1 was read from the device with serial number "
                                                 "%2; %3 has serial number %4. Nothing was written (--force writes "
                                                 "it anyway).")
                                      .arg(backedUp.id)
                                      .arg(backedUp.serialNumber, device.text, device.serialNumber)));
    m_console->note(QStringLiteral("Restoring row %1's backup (%2 bytes, SHA-256 %3) into %4.")
                        .arg(backedUp.id)
                        .arg(bytes.size())
                        .arg(backedUp.backupSha256, device.text));
    // Put back only when it is known to be there: always read back.
    return writeLocal(device, m_image.path(), true);
}

bool VornicCli::findLocal(const QString &deviceName, LocalDevice *device, UpdateOutcome *refusal)
{
    // Only the named device is opened: several of these may run at once,
    // each writing its own device, and none may disturb another's.
    m_inventory.listLocal([&deviceName](libusb_device *device) { return UsbDeviceList::mayBeNamed(device, deviceName); });
    const QVector<LocalDevice> found = m_inventory.matches(deviceName);
    if (found.isEmpty()) {
        *refusal = said(UpdateOutcome(UpdateOutcome::NoDevice,
                                      QStringLiteral("No Ordane device %1 is connected; vornic-cli list shows the "
                                                     "devices there are.").arg(deviceName)));
        return false;
    }
    if (found.size() > 1) {
        *refusal = said(UpdateOutcome(UpdateOutcome::NoDevice,
                                      QStringLiteral("%1 devices answer to %2; name one by its USB port path or serial "
                                                     "port (vornic-cli list).").arg(found.size()).arg(deviceName)));
        return false;
    }
    *device = found.first();
    m_road = device->roadName();
    m_place = device->id;
    m_result.insert(QStringLiteral("serialNumber"), device->serialNumber);
    m_result.insert(QStringLiteral("text"), device->text);
    if (device->accessible)
        return true;
    *refusal = said(UpdateOutcome(UpdateOutcome::NoAccess,
                                  device->road == LocalDevice::Usb
                                      ? DfuEngine::noAccessText()
                                      : QStringLiteral("This user may not open the serial port %1: add the user to "
                                                       "the dialout group and log in again, or install Ordane's "
                                                       "device access rules.").arg(device->port.systemLocation())));
    return false;
}

// ---------------------------------------------------------------------------
// Read

int VornicCli::readOne(const QString &deviceName, const QString &filePath)
{
    InterruptSignal::install();
    if (NetworkAddress::looksLikeAddress(deviceName))
        return fail(ExitUnreadable, QStringLiteral("A network device cannot be read: it offers no way to send its "
                                                   "firmware back."));
    // Written beside FILE and renamed over it once whole: a read that fails
    // or is stopped leaves FILE as it was. Opened before the device is told
    // anything (a device in its application would restart for nothing).
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(ExitFailure, QStringLiteral("Cannot write %1: %2.").arg(filePath, file.errorString()));
    LocalDevice device;
    UpdateOutcome refusal;
    if (!findLocal(deviceName, &device, &refusal))
        return exitCodeOf(refusal, InterruptSignal::exitCode());
    LocalServerNudge::nudge(device.text, this);
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray firmware;
    LocalRoad road(m_emitter, m_console, m_progress);
    m_progress->setCountingBytes(true);
    const UpdateOutcome outcome = road.run(&m_inventory, device, FirmwareImage(), false, m_waitSeconds, &firmware);
    m_progress->finish();
    m_progress->setCountingBytes(false);
    if (outcome.kind() != UpdateOutcome::Read)
        return failed(outcome);
    // A stop is never a success, even one that came with the last block.
    if (InterruptSignal::requested())
        return fail(InterruptSignal::exitCode(), QStringLiteral("Stopped as the read ended; %1 was left as it was.")
                                                     .arg(filePath));
    if (firmware.isEmpty())
        return fail(ExitUnreadable, QStringLiteral("%1 sent no firmware (its first block was empty); %2 was not "
                                                   "written.").arg(road.written(), filePath));
    if (file.write(firmware) != firmware.size() || !file.commit())
        return fail(ExitFailure, QStringLiteral("Cannot write %1: %2; it was left as it was.")
                                     .arg(filePath, file.errorString()));
    note(QStringLiteral("Read %1 bytes from %2 into %3 (SHA-256 %4) in %5 s.")
             .arg(firmware.size())
             .arg(road.written(), filePath, QString::fromLatin1(FirmwareImage::digestOf(firmware)),
                  QString::number(elapsed.elapsed() / 1000.0, 'f', 1)));
    return ExitSuccess;
}

bool VornicCli::checkImageFits(const QString &rowText, const QString &imagePath, bool networkDevice,
                               UpdateOutcome *refusal)
{
    QString why;
    if (!DeviceCatalog::modelKnown(rowText))
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
    *refusal = said(UpdateOutcome(UpdateOutcome::ImageRefused,
                                  why + QLatin1String(" If it is the right image all the same, --force writes it.")));
    return false;
}

int VornicCli::failed(const UpdateOutcome &outcome)
{
    return fail(exitCodeOf(outcome, InterruptSignal::exitCode()), outcome.reason());
}

UpdateOutcome VornicCli::said(const UpdateOutcome &outcome)
{
    failed(outcome);
    return outcome;
}

void VornicCli::sayUpdated(const QString &text, const QString &imagePath, const QElapsedTimer &elapsed,
                           const QString &remark)
{
    note(QStringLiteral("Updated %1 with %2 (SHA-256 %3) in %4 s%5.")
             .arg(text, imagePath, m_image.sha256(), QString::number(elapsed.elapsed() / 1000.0, 'f', 1), remark));
}

UpdateOutcome VornicCli::notVerified(const UpdateOutcome &outcome, const QString &text, const QString &imagePath)
{
    fail(ExitNotVerified, QStringLiteral("Wrote %1 with %2, but could not verify it: %3.").arg(text, imagePath,
                                                                                               outcome.reason()));
    return outcome;
}

UpdateOutcome VornicCli::updateNetwork(const QString &address, const QString &imagePath)
{
    QString ip;
    int port = 0;
    NetworkAddress::parse(address, m_defaultPort, &ip, &port);
    // Messages name the whole place: a device may listen on another port.
    const QString where = NetworkAddress::join(ip, port);
    m_road = QStringLiteral("network");
    m_place = where;
    QElapsedTimer elapsed;
    elapsed.start();
    NetworkDevice device(ip, port);
    NetworkRoad road(m_progress);
    QString warning;
    const UpdateOutcome checked = road.check(&device, where, m_force, &warning);
    if (checked.kind() != UpdateOutcome::Updated)
        return said(checked);
    if (m_imageOnStdin) {
        // For the parent only, which refuses one device named twice
        // (escaped: a serial number is the device's own text).
        std::fprintf(stderr, "identity %s\n", qPrintable(SafeText::forTerminal(device.serialNumber())));
        std::fflush(stderr);
        // Every device's process waits here for the last one identified;
        // the history is opened in that wait rather than by all at once
        // after it.
        if (m_history)
            m_history->prepare();
        const UpdateOutcome image = readImage(imagePath);
        if (image.kind() != UpdateOutcome::Updated)
            return image;
    }
    if (!warning.isEmpty())
        note(warning);
    const QString text = DeviceCatalog::networkRowText(device.type(), device.serialNumber(), device.ip());
    m_result.insert(QStringLiteral("serialNumber"), device.serialNumber());
    m_result.insert(QStringLiteral("text"), text);
    UpdateOutcome refusal;
    if (!checkImageFits(text, imagePath, true, &refusal))
        return refusal;
    LocalServerNudge::nudge(text, this);
    describeForHistory();
    const UpdateOutcome outcome = road.run(&device, m_image, m_verify, m_reboot, text, where);
    m_bytes = road.bytesTaken();
    if (!outcome.wroteImage())
        return said(outcome);
    if (m_reboot && road.rebootRefused()) {
        sayUpdated(text, imagePath, elapsed, QStringLiteral(" (checked by the device)"));
        return said(UpdateOutcome(UpdateOutcome::DeviceRefused, Command::rebootRefusedText()));
    }
    if (m_reboot && road.rebooted())
        note(QStringLiteral("%1 restarts into its new firmware.").arg(text));
    // With --verify the device's check of an 'I' image is the verification;
    // a 'W' image has none.
    if (outcome.kind() == UpdateOutcome::NotVerifiable)
        return notVerified(outcome, text, imagePath);
    sayUpdated(text, imagePath, elapsed,
               !road.checked() ? QString()
               : m_verify      ? QStringLiteral(" (verified by the device's own check of the whole image)")
                               : QStringLiteral(" (checked by the device)"));
    return outcome;
}
