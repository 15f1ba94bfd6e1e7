// Tamsel's settings file as a user (or a broken editor) may leave it: the
// [adapter] group of both adapter backends. Settings are either usable, or
// refused with a reason that names the key; the simulated pad never waits
// without end.
#include "fuzzinput.h"
#include "rs485sub20.h"
#include "simulatedsub20.h"

#include <QFile>
#include <QSettings>
#include <QStringList>
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
    }
    // The refusal names the first key that is bad (baud, parity, discard_echo),
    // and only a bad key is refused.
    settings.beginGroup(QStringLiteral("adapter"));
    const QString baud = settings.value(QStringLiteral("baud"), Rs485Sub20::Options().baudRate).toString().trimmed();
    bool number = false;
    const int rate = baud.toInt(&number);
    const QString parity = settings.value(QStringLiteral("parity"), QStringLiteral("none")).toString().trimmed().toLower();
    const QString echo = settings.value(QStringLiteral("discard_echo"), QStringLiteral("auto")).toString().trimmed().toLower();
    settings.endGroup();
    const bool baudBad = !number || !Rs485Sub20::isSupportedRate(rate);
    const bool parityBad = !QStringList({ "none", "n", "even", "e", "odd", "o" }).contains(parity);
    const bool echoBad = !QStringList({ "auto", "true", "yes", "1", "false", "no", "0" }).contains(echo);
    const QString badKey = baudBad     ? QStringLiteral("baud")
                         : parityBad   ? QStringLiteral("parity")
                         : echoBad     ? QStringLiteral("discard_echo")
                                       : QString();
    FUZZ_ASSERT(line.problem.isEmpty() == badKey.isEmpty());
    FUZZ_ASSERT(badKey.isEmpty() || line.problem.startsWith(QStringLiteral("The adapter setting ") + badKey + '='));

    const SimulatedSub20::Options pad = SimulatedSub20::Options::fromSettings(settings);
    FUZZ_ASSERT(pad.delayMs >= 0 && pad.delayMs <= SimulatedSub20::longestDelayMs);
    return 0;
}
