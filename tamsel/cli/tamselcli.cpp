#include "tamselcli.h"

#include "backupreport.h"
#include "backupstore.h"
#include "cliconsole.h"
#include "cliprogress.h"
#include "updaterecord.h"
#include "emitter.h"
#include "exitcode.h"
#include "historyreport.h"
#include "imagefile.h"
#include "interruptsignal.h"
#include "padupdate.h"
#include "sub20.h"

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QSaveFile>


#include <cerrno>
namespace {

const int broadcastAddress = 0;
const int highestAddress = 0xF7;        // 247, the last Modbus slave address
const int defaultAddress = 0x50;        // the pad's own, and the window's first

} // namespace

TamselCli::TamselCli(std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_out(out)
    , m_console(new CliConsole(QStringLiteral("tamsel-cli"), helpText(), out, err, this))
    , m_progress(m_console->progress())
    , m_emitter(new Emitter(this))
{
    connect(m_emitter, &Emitter::load_start, m_progress, &CliProgress::setRange);
    connect(m_emitter, &Emitter::load_progress, m_progress, &CliProgress::setValue);
}

QString TamselCli::helpText()
{
    return QStringLiteral(
        "Usage: tamsel-cli update --road modbus [--address HEX] [--verify] [--backup] IMAGE\n"
        "       tamsel-cli update --road ir IMAGE\n"
        "       tamsel-cli read --road modbus [--address HEX] FILE\n"
        "       tamsel-cli restore [--row ID] [--address HEX]\n"
        "       tamsel-cli history [--device ADDRESS] [--since DATE] [--limit N]\n"
        "                          [--json|--csv]\n"
        "\n"
        "Writes IMAGE into the Ordane pad through the SUB-20 adapter, as Tamsel's\n"
        "window does: by Modbus Write File Record requests over RS-485, or by\n"
        "infrared boot frames.\n"
        "\n"
        "read writes the pad's image into FILE: Read File Record requests from record\n"
        "0 until the pad says there are no more (an exception for the record's\n"
        "address, or an empty reply), in whole records of 32 bytes (the pad keeps no\n"
        "length). FILE is replaced only by a whole read. Infrared has no way back:\n"
        "a pad cannot be read by infrared (code 11).\n"
        "\n"
        "update --backup first reads the pad's records as read does and keeps them in\n"
        "the backup store shared with vornic-cli (~/.local/share/Ordane/backups, one\n"
        "file per content, named by its SHA-256); the history row names it. A pad\n"
        "that cannot be read is not written at all (code 11). restore writes back the\n"
        "backup of the newest row of the pad at --address (50 unless given) that has\n"
        "one, or of row --row ID, into the pad the row names, and reads it back; a\n"
        "backup whose file no longer matches its SHA-256 is never sent (code 10; code\n"
        "5 when it is gone). vornic-cli backups lists and prunes the store.\n"
        "\n"
        "Options:\n"
        "  --road modbus|ir  The way to the pad.\n"
        "  --address HEX     modbus: the pad's Modbus address in hexadecimal, 1 to F7\n"
        "                    (50 when not given, as in Tamsel's window), or 0 to\n"
        "                    broadcast (no answers, so nothing confirms the image;\n"
        "                    100 ms per record).\n"
        "  --verify          modbus: read the records back afterwards (Read File\n"
        "                    Record) and compare them with IMAGE. A pad that cannot\n"
        "                    read back, does not answer a read or refuses it, a\n"
        "                    broadcast, or the infrared road ends with code 9,\n"
        "                    although the image was written.\n"
        "  --backup          update: keep what the pad holds before writing (above).\n"
        "  --row ID          restore: the history row whose backup is written back.\n"
        "  --sha256 HEX      Write IMAGE only when its SHA-256 is HEX (64 hexadecimal\n"
        "                    digits); otherwise nothing is sent (code 10; code 2\n"
        "                    when HEX is not 64 hexadecimal digits).\n"
        "  --verbose         Show every Modbus frame on the error stream.\n"
        "  -h, --help        Show this help.\n"
        "  -v, --version     Show the version.\n"
        "\n"
        "The adapter is the one Tamsel uses: ~/.config/Ordane/Tamsel.ini, group\n"
        "[adapter], key backend = rs485 (a USB-to-RS-485 converter; port, baud, parity\n"
        "and discard_echo in the same group), simulated (a pad simulated in this\n"
        "program), or none; the environment variable TAMSEL_ADAPTER overrides it.\n"
        "The infrared road needs the SUB-20 itself or the simulated adapter.\n"
        "\n"
        "history lists the updates written so far, newest first (100 unless --limit\n"
        "says; 0: all); --device 0x50 or infrared picks one way to the pad, --since\n"
        "DATE (YYYY-MM-DD or YYYY-MM-DDTHH:MM[:SS], local time unless Z or an offset\n"
        "follows) the recent ones, --json or --csv the format (a CSV value a\n"
        "spreadsheet would evaluate gets a leading ').\n"
        "Every update adds a row when it starts and completes it when it ends; a\n"
        "process that died in between leaves \"interrupted\". The history is\n"
        "~/.local/share/Ordane/history.sqlite, shared with Vornic, or the PostgreSQL\n"
        "database that [history] url=postgresql://USER@HOST/DB names in Tamsel.ini.\n"
        "\n"
        "Progress is a bar on a terminal and plain \"progress N%\" lines otherwise.\n"
        "Ctrl+C stops after the current frame or record; a second Ctrl+C quits at once.\n"
        "\n"
        "Exit codes:\n"
        "  0    done\n"
        "  1    any other failure (the adapter or the link failed)\n"
        "  2    the command line is wrong\n"
        "  3    no such device: no adapter is connected\n"
        "  4    no access: this user may not open the adapter\n"
        "  5    image problem: IMAGE cannot be read or is empty\n"
        "  6    device refused: the pad answered with an exception, or the adapter\n"
        "       refused the configuration or cannot take this road\n"
        "  7    timeout: the pad did not answer\n"
        "  8    --verify: the records read back differ from IMAGE\n"
        "  9    --verify: written, but the pad could not be read back\n"
        "  10   --sha256: IMAGE is not the image named; restore: the backup no longer\n"
        "       holds what was kept; nothing was sent\n"
        "  11   read, update --backup: the pad cannot be read (infrared, a broadcast, a\n"
        "       pad that answers no read or holds nothing); nothing was written\n"
        "  130  interrupted by Ctrl+C (SIGINT); 143 stopped by SIGTERM; 129 by SIGHUP\n"
        "       (the terminal closed)\n");
}

int TamselCli::fail(int code, const QString &sentence)
{
    return m_console->fail(code, sentence);
}

UpdateOutcome TamselCli::failed(const UpdateOutcome &outcome)
{
    fail(exitCodeOf(outcome, InterruptSignal::exitCode()), outcome.reason());
    return outcome;
}

int TamselCli::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption road(QStringLiteral("road"), QString(), QStringLiteral("road"));
    const QCommandLineOption address(QStringLiteral("address"), QString(), QStringLiteral("hex"));
    const QCommandLineOption verify(QStringLiteral("verify"));
    const QCommandLineOption sha256(QStringLiteral("sha256"), QString(), QStringLiteral("hex"));
    const QCommandLineOption backup(QStringLiteral("backup"));
    const QCommandLineOption row(QStringLiteral("row"), QString(), QStringLiteral("id"));
    parser.addOptions({ road, address, verify, sha256, backup, row });
    HistoryReport::addOptions(parser, true);
    int code = ExitSuccess;
    if (!m_console->parse(parser, arguments, &code))
        return code;

    const QStringList positional = parser.positionalArguments();
    // Every option acts or is refused: none is ignored by a command that
    // does not take it.
    const QString command = positional.value(0);
    const QStringList updating { QStringLiteral("update") };
    const QStringList reaching { QStringLiteral("update"), QStringLiteral("read"), QStringLiteral("restore") };
    QHash<QString, QStringList> takenBy {
        { QStringLiteral("road"), reaching },
        { QStringLiteral("address"), reaching },
        { QStringLiteral("verify"), updating },
        { QStringLiteral("sha256"), updating },
        { QStringLiteral("backup"), updating },
        { QStringLiteral("row"), { QStringLiteral("restore") } },
    };
    HistoryReport::claimOptions(&takenBy, true);
    if ((command == QLatin1String("update") || command == QLatin1String("history") || command == QLatin1String("read")
         || command == QLatin1String("restore"))
        && !m_console->optionsFit(parser, command, takenBy, &code))
        return code;
    if (positional == QStringList { QStringLiteral("history") }) {
        UpdateHistory history(QStringLiteral("tamsel-cli"), QStringLiteral(ORDANE_VERSION),
                              UpdateRecord::settingsFile(QStringLiteral("Tamsel")));
        return HistoryReport::run(parser, &history, m_out, m_console);
    }
    const bool restoring = positional == QStringList { QStringLiteral("restore") };
    if (!restoring
        && (positional.size() != 2 || (command != QLatin1String("update") && command != QLatin1String("read"))))
        return fail(ExitUsage, QStringLiteral("Say: tamsel-cli update --road modbus|ir [--address HEX] IMAGE, "
                                              "tamsel-cli read --road modbus [--address HEX] FILE, tamsel-cli "
                                              "restore [--row ID], or tamsel-cli history; see tamsel-cli --help."));
    // Only Modbus reads the pad back: a restore goes that way.
    const QString roadName = restoring && !parser.isSet(road) ? QStringLiteral("modbus") : parser.value(road);
    if (roadName != QLatin1String("modbus") && roadName != QLatin1String("ir"))
        return fail(ExitUsage, QStringLiteral("--road is modbus or ir."));
    const bool infrared = roadName == QLatin1String("ir");
    m_verify = parser.isSet(verify);
    // Without --address, the pad's own default, as in the window.
    int slave = defaultAddress;
    if (!infrared && parser.isSet(address)) {
        bool ok = false;
        QString text = parser.value(address);
        if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            text = text.mid(2);
        slave = text.toInt(&ok, 16);
        if (!ok || slave < broadcastAddress || slave > highestAddress)
            return fail(ExitUsage, QStringLiteral("--address takes the pad's Modbus address in hexadecimal, 0 to F7."));
    }
    if (command == QLatin1String("read"))
        return read(infrared, slave, positional.at(1));
    if (restoring) {
        qint64 rowId = 0;
        if (parser.isSet(row)) {
            bool ok = false;
            rowId = parser.value(row).toLongLong(&ok);
            if (!ok || rowId <= 0)
                return fail(ExitUsage, QStringLiteral("--row takes the id of a history row (tamsel-cli history "
                                                      "shows them first)."));
        }
        return restore(infrared, parser.isSet(address) ? slave : -1, rowId);
    }
    if (parser.isSet(backup) && (infrared || slave == broadcastAddress))
        return fail(ExitUnreadable, QStringLiteral("The pad cannot be read %1, so it cannot be backed up; nothing was "
                                                   "written (without --backup it is written as usual).")
                                        .arg(infrared ? QStringLiteral("by infrared") : QStringLiteral("by a broadcast")));
    if (!infrared && slave == broadcastAddress)
        m_console->note(QStringLiteral("Address 0 broadcasts: no pad answers a broadcast, so nothing tells whether the image "
                            "arrived, and every record waits 100 ms."));
    m_expectedSha256 = parser.value(sha256);
    const QString sha256Problem = parser.isSet(sha256) ? CliConsole::sha256Problem(m_expectedSha256) : QString();
    if (!sha256Problem.isEmpty())
        return fail(ExitUsage, sha256Problem);
    PadUpdate::Job job { infrared ? PadTransfer::InfraredRoad : PadTransfer::ModbusRoad, slave, positional.at(1),
                         m_verify };
    job.backup = parser.isSet(backup);
    return runUpdate(job);
}

int TamselCli::runUpdate(const PadUpdate::Job &job)
{
    // Its history row is added when the update starts, completed when it ends.
    PadUpdate padUpdate(QStringLiteral("tamsel-cli"), UpdateRecord::settingsFile(QStringLiteral("Tamsel")), m_emitter);
    // The run is on this thread.
    padUpdate.setBackedUp([&padUpdate] { padUpdate.noteBackup(); });
    padUpdate.begin(job);
    const UpdateOutcome outcome = update(&padUpdate, job);
    padUpdate.record().noteImage(m_image);
    padUpdate.noteBackup();
    if (!padUpdate.backupSha256().isEmpty()) {
        const QString over = BackupReport::storeTooLarge(UpdateRecord::settingsFile(QStringLiteral("Tamsel")));
        if (!over.isEmpty())
            m_console->warn(over);
    }
    m_console->endRecord(&padUpdate.record(), outcome);
    return exitCodeOf(outcome, InterruptSignal::exitCode());
}

int TamselCli::restore(bool infrared, int slaveAddress, qint64 rowId)
{
    InterruptSignal::install();
    if (infrared)
        return fail(ExitUsage, QStringLiteral("A pad is backed up and restored by Modbus alone (--road modbus)."));
    UpdateHistory history(QStringLiteral("tamsel-cli"), QStringLiteral(ORDANE_VERSION),
                          UpdateRecord::settingsFile(QStringLiteral("Tamsel")));
    BackupStore store;
    UpdateHistory::Entry backedUp;
    QByteArray bytes;
    UpdateOutcome refusal;
    const QString device = PadTransfer::addressText(slaveAddress < 0 ? defaultAddress : slaveAddress);
    if (!BackupReport(&history, &store, m_console, m_out).findBackup(device, rowId, &backedUp, &bytes, &refusal))
        return exitCodeOf(failed(refusal), InterruptSignal::exitCode());
    // Back into the pad it was read from: the row's address.
    bool ok = false;
    const int rowAddress = backedUp.road == QLatin1String("modbus") ? backedUp.place.toInt(&ok, 0) : -1;
    if (!ok || rowAddress <= broadcastAddress || rowAddress > highestAddress
        || (slaveAddress >= 0 && slaveAddress != rowAddress))
        return fail(ExitUsage, QStringLiteral("The backup of row %1 was read from %2, not from the pad at %3; nothing "
                                              "was written.")
                                   .arg(backedUp.id)
                                   .arg(backedUp.place, ok ? PadTransfer::addressText(slaveAddress)
                                                           : QStringLiteral("one Modbus address")));
    m_image = FirmwareImage::fromBytes(store.pathOf(backedUp.backupSha256), bytes);
    m_console->note(QStringLiteral("Restoring row %1's backup (%2 bytes, SHA-256 %3) into the pad at %4.")
                        .arg(backedUp.id)
                        .arg(bytes.size())
                        .arg(backedUp.backupSha256, backedUp.place));
    // Put back only when it is known to be there: always read back.
    PadUpdate::Job job { PadTransfer::ModbusRoad, rowAddress, m_image.path(), true };
    job.restoredRow = backedUp.id;
    return runUpdate(job);
}

UpdateOutcome TamselCli::update(PadUpdate *padUpdate, const PadUpdate::Job &job)
{
    const bool infrared = job.road == PadTransfer::InfraredRoad;
    const int address = job.slaveAddress;
    const QString &imagePath = job.imagePath;
    InterruptSignal::install();
    // Read once, before the adapter is opened: these bytes are written and
    // read back, whatever becomes of the file meanwhile (a restore's were
    // read, and checked against their name, already).
    if (!m_image.isRead())
        m_image = FirmwareImage::read(imagePath);
    const FirmwareImage &image = m_image;
    if (!image.problem().isEmpty())
        return failed(UpdateOutcome(UpdateOutcome::ImageRefused, image.problem()));
    if (!m_expectedSha256.isEmpty() && !image.mismatchWith(m_expectedSha256).isEmpty())
        return failed(UpdateOutcome(UpdateOutcome::WrongImage, image.mismatchWith(m_expectedSha256)));
    padUpdate->record().describe(image);
    const long size = image.size();

    std::atomic<sub_handle> handle { nullptr };
    UpdateOutcome refusal;
    if (!openAdapter(&handle, &refusal))
        return refusal;

    QElapsedTimer elapsed;
    elapsed.start();
    const QString target = infrared ? QStringLiteral("the pad by infrared")
                                    : QStringLiteral("the pad at address %1 by Modbus")
                                          .arg(PadTransfer::addressText(address));
    m_progress->setLabel(QStringLiteral("Writing %1").arg(target));
    padUpdate->run(job, handle, InterruptSignal::flag(), image, [this, &target] {
        m_progress->setLabel(QStringLiteral("Reading back %1").arg(target));
    });
    sub_close(handle.exchange(nullptr));
    m_progress->finish();

    const UpdateOutcome outcome = padUpdate->outcome();
    const QString wrote = QStringLiteral("%1 bytes of %2 (SHA-256 %3) to %4 in %5 s")
                                .arg(size)
                                .arg(imagePath, image.sha256(), target,
                                     QString::number(elapsed.elapsed() / 1000.0, 'f', 1));
    if (outcome.kind() == UpdateOutcome::NotVerifiable)
        fail(ExitNotVerified, QStringLiteral("Wrote %1, but could not verify it: %2.").arg(wrote, outcome.reason()));
    else if (outcome.wroteImage())
        m_console->note(QStringLiteral("Wrote %1%2.")
                            .arg(wrote, outcome.verified() ? QStringLiteral(" (verified: read back record by record)")
                                                           : QString()));
    else
        failed(outcome);
    return outcome;
}

bool TamselCli::openAdapter(std::atomic<sub_handle> *handle, UpdateOutcome *refusal)
{
    handle->store(sub_open(nullptr));
    if (handle->load())
        return true;
    const QString problem = sub20OpenProblem();
    if (problem.isEmpty()) {
        *refusal = failed(UpdateOutcome(UpdateOutcome::NoDevice, QStringLiteral("SUB-20 not connected! ") + sub20BackendAdvice()));
        return false;
    }
    const int error = sub20OpenErrorNumber();
    // A setting it cannot use is no missing adapter: said alone.
    if (error == EINVAL)
        *refusal = failed(UpdateOutcome(UpdateOutcome::Failed, problem));
    else
        *refusal = failed(UpdateOutcome(error == EACCES ? UpdateOutcome::NoAccess : UpdateOutcome::NoDevice,
                                        QStringLiteral("SUB-20 not connected! ") + problem));
    return false;
}

int TamselCli::read(bool infrared, int slaveAddress, const QString &filePath)
{
    InterruptSignal::install();
    if (infrared)
        return fail(ExitUnreadable, QStringLiteral("Infrared has no way back from the pad: it cannot be read by "
                                                   "infrared; read it by Modbus (--road modbus)."));
    // Written beside FILE and renamed over it once whole: a read that fails
    // or is stopped leaves FILE as it was.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return fail(ExitFailure, QStringLiteral("Cannot write %1: %2.").arg(filePath, file.errorString()));
    std::atomic<sub_handle> handle { nullptr };
    UpdateOutcome refusal;
    if (!openAdapter(&handle, &refusal))
        return exitCodeOf(refusal, InterruptSignal::exitCode());
    const QString target = QStringLiteral("the pad at address %1 by Modbus").arg(PadTransfer::addressText(slaveAddress));
    m_progress->setLabel(QStringLiteral("Reading %1").arg(target));
    m_progress->setCountingBytes(true);
    QElapsedTimer elapsed;
    elapsed.start();
    QByteArray firmware;
    PadTransfer transfer(m_emitter, handle, InterruptSignal::flag());
    const int result = transfer.modbusRead(slaveAddress, &firmware);
    sub_close(handle.exchange(nullptr));
    m_progress->finish();
    m_progress->setCountingBytes(false);
    const UpdateOutcome outcome = transfer.readOutcome(result);
    if (outcome.kind() != UpdateOutcome::Read) {
        failed(outcome);
        return exitCodeOf(outcome, InterruptSignal::exitCode());
    }
    // A stop is never a success, even one that came with the last record.
    if (InterruptSignal::requested())
        return fail(InterruptSignal::exitCode(), QStringLiteral("Stopped as the read ended; %1 was left as it was.")
                                                     .arg(filePath));
    if (file.write(firmware) != firmware.size() || !file.commit())
        return fail(ExitFailure, QStringLiteral("Cannot write %1: %2; it was left as it was.")
                                     .arg(filePath, file.errorString()));
    m_console->note(QStringLiteral("Read %1 bytes (%2 records) from %3 into %4 (SHA-256 %5) in %6 s.")
                        .arg(firmware.size())
                        .arg(firmware.size() / PadTransfer::modbusBlockSize)
                        .arg(target, filePath, QString::fromLatin1(FirmwareImage::digestOf(firmware)),
                             QString::number(elapsed.elapsed() / 1000.0, 'f', 1)));
    return ExitSuccess;
}
