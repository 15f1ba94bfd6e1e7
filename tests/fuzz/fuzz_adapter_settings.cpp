// Tamsel's settings file as a user (or a broken editor) may leave it: the
// [adapter] group of both adapter backends. Settings are either usable, or
// refused with a reason that names the key; the simulated pad never waits
// without end.
#include "fuzzinput.h"
#include "rs485sub20.h"
#include "simulatedsub20.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("Tamsel.ini"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 0;
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    QSettings settings(path, QSettings::IniFormat);

    const Rs485Sub20::Options line = Rs485Sub20::Options::fromSettings(settings);
    if (line.problem.isEmpty()) {
        FUZZ_ASSERT(Rs485Sub20::isSupportedRate(line.baudRate));
        FUZZ_ASSERT(line.parity == 'N' || line.parity == 'E' || line.parity == 'O');
    } else {
        FUZZ_ASSERT(line.problem.contains(QLatin1String("baud")) || line.problem.contains(QLatin1String("parity"))
                    || line.problem.contains(QLatin1String("discard_echo")));
    }

    const SimulatedSub20::Options pad = SimulatedSub20::Options::fromSettings(settings);
    FUZZ_ASSERT(pad.delayMs >= 0 && pad.delayMs <= SimulatedSub20::longestDelayMs);
    return 0;
}
