#include "sub20.h"

#include "rs485sub20.h"
#include "simulatedsub20.h"
#include "sub20adapter.h"

#include <QSettings>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

thread_local int currentError = 0;
thread_local QString openProblem;
thread_local int openErrorNumber = 0;

Sub20Adapter *adapterOf(sub_handle handle)
{
    return reinterpret_cast<Sub20Adapter *>(handle);
}

// Every call on a null handle fails like a call to an adapter that is gone.
int noAdapter()
{
    currentError = SUB_ERROR_NO_ADAPTER;
    return SUB_ERROR_NO_ADAPTER;
}

std::unique_ptr<QSettings> tamselSettings()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"),
                                       QStringLiteral("Tamsel"));
}

// The environment overrides the settings.
QString configuredBackend(QSettings &settings)
{
    QString backend = QString::fromLocal8Bit(qgetenv("TAMSEL_ADAPTER"));
    if (backend.isEmpty())
        backend = settings.value(QStringLiteral("adapter/backend"), QStringLiteral("none")).toString();
    return backend.trimmed().toLower();
}

} // namespace

void Sub20Adapter::setError(int error)
{
    currentError = error;
}

int Sub20Adapter::lastError()
{
    return currentError;
}

QString sub20AdapterPort()
{
    const auto settings = tamselSettings();
    if (configuredBackend(*settings) != QLatin1String("rs485"))
        return QString();
    return Rs485Sub20::Options::fromSettings(*settings).port;
}

sub_handle sub_open(sub_device)
{
    openProblem.clear();
    openErrorNumber = 0;
    const auto owned = tamselSettings();
    QSettings &settings = *owned;
    const QString backend = configuredBackend(settings);

    Sub20Adapter *adapter = nullptr;
    if (backend == QLatin1String("simulated")) {
        adapter = new SimulatedSub20(SimulatedSub20::Options::fromSettings(settings));
    } else if (backend == QLatin1String("rs485")) {
        const Rs485Sub20::Options options = Rs485Sub20::Options::fromSettings(settings);
        auto *serial = new Rs485Sub20(options);
        if (serial->isOpen()) {
            adapter = serial;
        } else {
            openErrorNumber = serial->openError();
            // Generic converters are not covered by Ordane's access rules:
            // the dialout group is what opens them.
            if (!options.problem.isEmpty())
                openProblem = options.problem;
            else if (serial->openError() == EACCES)
                openProblem = QStringLiteral("This user may not open %1, the RS-485 converter's serial port: add the "
                                             "user to the dialout group and log in again.")
                                  .arg(options.port);
            else if (serial->openError() == ENOENT || serial->openError() == ENODEV || serial->openError() == ENXIO)
                openProblem = QStringLiteral("No RS-485 converter at %1 (the port set in [adapter] port): plug it in, "
                                             "or set the port it has.")
                                  .arg(options.port);
            else
                openProblem = QStringLiteral("The RS-485 converter's port %1 cannot be opened: %2.")
                                  .arg(options.port, QString::fromLocal8Bit(std::strerror(serial->openError())));
            delete serial;
        }
    }
    return reinterpret_cast<sub_handle>(adapter);
}

int sub_close(sub_handle handle)
{
    delete adapterOf(handle);
    return 0;
}

int sub_ir_config(sub_handle handle, int carrierHz, int dutyPercent, int mode, int repeats)
{
    return handle ? adapterOf(handle)->irConfig(carrierHz, dutyPercent, mode, repeats) : noAdapter();
}

int sub_ir_tx(sub_handle handle, int size, char *data)
{
    if (!handle)
        return noAdapter();
    if (size < 0 || (size > 0 && !data)) {
        currentError = SUB_ERROR_ARGUMENT;
        return SUB_ERROR_ARGUMENT;
    }
    return adapterOf(handle)->irTransmit(data, size);
}

int sub_rs_timing(sub_handle handle, int flags, int txSpaceUs, int replyWaitUs, int byteGapUs)
{
    return handle ? adapterOf(handle)->rsTiming(flags, txSpaceUs, replyWaitUs, byteGapUs) : noAdapter();
}

int sub_rs_xfer(sub_handle handle, char *tx, int txSize, char *rx, int rxSize)
{
    if (!handle) {
        noAdapter();
        return -1;
    }
    if (!tx || (rxSize > 0 && !rx)) {
        currentError = SUB_ERROR_ARGUMENT;
        return -1;
    }
    return adapterOf(handle)->rsTransfer(tx, txSize, rx, rxSize);
}

QString sub20OpenProblem()
{
    return openProblem;
}

int sub20OpenErrorNumber()
{
    return openErrorNumber;
}

QString sub20BackendAdvice()
{
    return QStringLiteral("Connect the adapter, or choose what stands for it in ~/.config/Ordane/Tamsel.ini, group "
                          "[adapter]: backend=rs485 with port=/dev/ttyUSB0 for a USB-to-RS-485 converter, or "
                          "backend=simulated for a simulated pad (TAMSEL_ADAPTER=simulated does that for one run).");
}

int sub_errno(void)
{
    return currentError;
}

const char *sub_strerror(int error)
{
    switch (error) {
    case 0: return "no error";
    case SUB_ERROR_NO_ADAPTER: return "no adapter is open";
    case SUB_ERROR_NOT_SUPPORTED: return "not supported by this adapter";
    case SUB_ERROR_CONFIG: return "the adapter refused the configuration";
    case SUB_ERROR_TRANSMIT: return "the transmission failed";
    case SUB_ERROR_PORT: return "the serial port failed or is gone";
    case SUB_ERROR_ARGUMENT: return "invalid size or buffer";
    default: return "unknown adapter error";
    }
}
