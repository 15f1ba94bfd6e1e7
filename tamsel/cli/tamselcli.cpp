#include "tamselcli.h"

#include "cliconsole.h"
#include "cliprogress.h"
#include "emitter.h"
#include "exitcode.h"
#include "imagefile.h"
#include "interruptsignal.h"
#include "padtransfer.h"
#include "sub20.h"

#include <QCommandLineParser>
#include <QElapsedTimer>


#include <cerrno>
namespace {

const int broadcastAddress = 0;
const int highestAddress = 0xF7;        // 247, the last Modbus slave address
const int defaultAddress = 0x50;        // the pad's own, and the window's first

} // namespace

TamselCli::TamselCli(std::FILE *out, std::FILE *err, QObject *parent)
    : QObject(parent)
    , m_console(new CliConsole(QStringLiteral("tamsel-cli"), helpText(), out, err, this))
    , m_progress(m_console->progress())
    , m_emitter(new Emitter(this))
{
    connect(m_emitter, &Emitter::load_start, m_progress, &CliProgress::setRange);
    connect(m_emitter, &Emitter::load_progress, m_progress, &CliProgress::setValue);
    connect(m_emitter, &Emitter::errorSignal, this, [this](const QString &text) { m_errors << text.trimmed(); });
}

QString TamselCli::helpText()
{
    return QStringLiteral(
        "Usage: tamsel-cli update --road modbus [--address HEX] [--verify] IMAGE\n"
        "       tamsel-cli update --road ir IMAGE\n"
        "\n"
        "Writes IMAGE into the Ordane pad through the SUB-20 adapter, as Tamsel's\n"
        "window does: by Modbus Write File Record requests over RS-485, or by\n"
        "infrared boot frames.\n"
        "\n"
        "Options:\n"
        "  --road modbus|ir  The way to the pad.\n"
        "  --address HEX     modbus: the pad's Modbus address in hexadecimal, 1 to F7\n"
        "                    (50 when not given, as in Tamsel's window), or 0 to\n"
        "                    broadcast (no answers, so nothing confirms the image;\n"
        "                    100 ms per record).\n"
        "  --verify          modbus: read the records back afterwards (Read File\n"
        "                    Record) and compare them with IMAGE. A pad that cannot\n"
        "                    read back, a broadcast, or the infrared road ends with\n"
        "                    code 9, although the image was written.\n"
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
        "  130  interrupted by Ctrl+C (SIGINT); 143 stopped by SIGTERM; 129 by SIGHUP\n"
        "       (the terminal closed)\n");
}

int TamselCli::fail(int code, const QString &sentence)
{
    return m_console->fail(code, sentence);
}

int TamselCli::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption road(QStringLiteral("road"), QString(), QStringLiteral("road"));
    const QCommandLineOption address(QStringLiteral("address"), QString(), QStringLiteral("hex"));
    const QCommandLineOption verify(QStringLiteral("verify"));
    parser.addOptions({ road, address, verify });
    int code = ExitSuccess;
    if (!m_console->parse(parser, arguments, &code))
        return code;

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2 || positional.at(0) != QLatin1String("update"))
        return fail(ExitUsage, QStringLiteral("Say: tamsel-cli update --road modbus|ir [--address HEX] IMAGE; see "
                                              "tamsel-cli --help."));
    const QString roadName = parser.value(road);
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
    if (!infrared && slave == broadcastAddress)
        m_console->note(QStringLiteral("Address 0 broadcasts: no pad answers a broadcast, so nothing tells whether the image "
                            "arrived, and every record waits 100 ms."));
    return update(infrared, slave, positional.at(1));
}

int TamselCli::update(bool infrared, int address, const QString &imagePath)
{
    InterruptSignal::install();
    // Read once, before the adapter is opened: these bytes are written and
    // read back, whatever becomes of the file meanwhile.
    const FirmwareImage image = FirmwareImage::read(imagePath);
    if (!image.problem().isEmpty())
        return fail(ExitImageProblem, image.problem());
    const long size = image.size();

    std::atomic<sub_handle> handle { sub_open(nullptr) };
    if (!handle) {
        const QString problem = sub20OpenProblem();
        if (!problem.isEmpty()) {
            const int error = sub20OpenErrorNumber();
            // A setting it cannot use is no missing adapter: said alone.
            if (error == EINVAL)
                return fail(ExitFailure, problem);
            return fail(error == EACCES ? ExitNoAccess : ExitNoSuchDevice, QStringLiteral("SUB-20 not connected! ") + problem);
        }
        return fail(ExitNoSuchDevice, QStringLiteral("SUB-20 not connected! ") + sub20BackendAdvice());
    }

    QElapsedTimer elapsed;
    elapsed.start();
    const QString target = infrared ? QStringLiteral("the pad by infrared")
                                    : QStringLiteral("the pad at address 0x%1 by Modbus")
                                          .arg(QString::number(address, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    m_progress->setLabel(QStringLiteral("Writing %1").arg(target));
    PadTransfer transfer(m_emitter, handle, InterruptSignal::flag());
    PadTransfer::Verification verification = PadTransfer::NotAsked;
    const int result = transfer.update(image, infrared ? PadTransfer::InfraredRoad : PadTransfer::ModbusRoad, address, m_verify,
                                       &verification, [this, &target] {
                                           m_progress->setLabel(QStringLiteral("Reading back %1").arg(target));
                                       });
    const bool written = transfer.written();
    sub_close(handle.exchange(nullptr));
    m_progress->finish();

    const QString why = m_errors.value(0);
    const QString wrote = QStringLiteral("%1 bytes of %2 to %3 in %4 s")
                                .arg(size)
                                .arg(imagePath, target, QString::number(elapsed.elapsed() / 1000.0, 'f', 1));
    const QString unconfirmed = QStringLiteral("Wrote %1, but could not verify it: %2.");
    if (result == 0 && verification == PadTransfer::NoWayBack)
        return fail(ExitNotVerified, unconfirmed.arg(wrote, QStringLiteral("infrared has no way back from the pad")));
    if (result == 0 && verification == PadTransfer::NotVerifiable)
        return fail(ExitNotVerified, unconfirmed.arg(wrote, PadTransfer::notVerifiableText(address)));
    if (result == 0) {
        m_console->note(QStringLiteral("Wrote %1%2.")
                            .arg(wrote, m_verify ? QStringLiteral(" (verified: read back record by record)")
                                                   : QString()));
        return ExitSuccess;
    }
    if (result == PadTransfer::imageDiffers)
        return fail(ExitVerifyFailed, why);
    if (InterruptSignal::requested())
        return fail(InterruptSignal::exitCode(),
                    written ? QStringLiteral("Stopped while the records were read back; the pad got the whole image, "
                                             "but it was not verified.")
                    : transfer.wholeImageAnswered() && address == broadcastAddress
                        ? QStringLiteral("Stopped as the last record was broadcast; nothing confirms that a pad got "
                                         "the whole image.")
                    : transfer.wholeImageAnswered()
                        ? QStringLiteral("Stopped as the last record was answered; the pad holds the whole image, "
                                         "but it was not verified.")
                        : QStringLiteral("Stopped; the pad did not get the whole image."));
    if (result == -1)
        return fail(ExitImageProblem, why);
    if (!infrared && result == PadTransfer::modbusTimeout)
        return fail(ExitTimeout, QStringLiteral("The pad did not answer (%1).")
                                     .arg(why.isEmpty() ? QStringLiteral("Modbus Timeout") : why));
    if (!infrared && result == PadTransfer::modbusException)
        return fail(ExitDeviceRefused, why);
    if (infrared && (result == SUB_ERROR_CONFIG || result == SUB_ERROR_NOT_SUPPORTED))
        return fail(ExitDeviceRefused, why);
    return fail(ExitFailure, why.isEmpty() ? QStringLiteral("The transfer failed (code %1).").arg(result) : why);
}
