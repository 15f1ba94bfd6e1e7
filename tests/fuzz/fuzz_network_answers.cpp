// A network device's answers, as any device (or anything listening on its
// port) may send them: the identification, the bootloader version, the
// status words of an upload however the answers are cut into reads, and the
// answer to the check of the whole image.
#include "fuzzinput.h"
#include "network/scannertask.h"
#include "network/statuswordcounter.h"

#include <QList>
#include <QRegularExpression>
#include <QVector>

namespace {

// The upload's view, from the whole stream at once: the "OK"s that end
// before the first refusal, and whether there is one.
StatusWordCounter::Result wholeStream(const QByteArray &stream)
{
    int refusal = stream.indexOf("ERROR");
    const int unknown = stream.indexOf("Unknown");
    if (refusal < 0 || (unknown >= 0 && unknown < refusal))
        refusal = unknown;
    StatusWordCounter::Result result;
    result.refused = refusal >= 0;
    const QByteArray before = result.refused ? stream.left(refusal) : stream;
    for (int at = before.indexOf("OK"); at >= 0; at = before.indexOf("OK", at + 2))
        ++result.acknowledgements;
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const uint8_t seed = input.byte();
    const QByteArray stream = input.rest();

    QString serial = QStringLiteral("unchanged");
    QString version = QStringLiteral("unchanged");
    const int identity = ScannerTask::identityIn(stream, &serial, &version);
    const int nul = stream.indexOf('\0');
    const QByteArray text = nul < 0 ? stream : stream.left(nul);
    FUZZ_ASSERT((identity == 0) == (text.contains("S/N") || text.contains("version")));
    FUZZ_ASSERT(identity == 0 || (serial == QLatin1String("unchanged") && version == QLatin1String("unchanged")));
    // A value ends at the line's end, however lines end (CR LF, LF, CR).
    for (const QString *value : { &serial, &version })
        FUZZ_ASSERT(!value->contains(QLatin1Char('\r')) && !value->contains(QLatin1Char('\n')));

    const QString bootloader = ScannerTask::bootloaderVersionIn(stream);
    FUZZ_ASSERT(bootloader.isEmpty() || QString::fromLatin1(text).contains(bootloader));
    for (const QChar c : bootloader)
        FUZZ_ASSERT(c.isDigit() || c == QLatin1Char('.') || c == QLatin1Char('*'));
    ScannerTask::versionAtLeast(QStringLiteral("1.1"), bootloader);
    // What versionAtLeast promises: a text that begins with a number is a
    // version (what follows its dotted numbers is ignored); a version
    // reaches itself; of two versions one reaches the other.
    const QString minimum = QString::fromLatin1(text.left(32));
    const QString candidate = QString::fromLatin1(text.mid(32, 32));
    const QRegularExpression versionText(QStringLiteral("^[0-9]{1,9}(?![0-9])"));
    const bool minimumIsVersion = versionText.match(minimum).hasMatch();
    const bool isVersion = versionText.match(candidate).hasMatch();
    const bool reaches = ScannerTask::versionAtLeast(minimum, candidate);
    FUZZ_ASSERT(isVersion || !reaches);
    FUZZ_ASSERT(!isVersion || ScannerTask::versionAtLeast(candidate, candidate));
    FUZZ_ASSERT(!(isVersion && minimumIsVersion) || reaches || ScannerTask::versionAtLeast(candidate, minimum));

    // The same stream cut into reads of lengths drawn from the seed: the
    // acknowledgements and the refusal are those of the whole stream.
    StatusWordCounter counter;
    StatusWordCounter::Result cut;
    uint32_t state = seed * 2654435761u + 1;
    for (int at = 0; at < stream.size() && !cut.refused;) {
        state = state * 1103515245u + 12345u;
        const int length = 1 + int((state >> 16) % (seed % 16 + 1));
        const StatusWordCounter::Result read = counter.feed(stream.mid(at, length));
        cut.acknowledgements += read.acknowledgements;
        cut.refused = read.refused;
        at += length;
    }
    const StatusWordCounter::Result whole = wholeStream(stream);
    FUZZ_ASSERT(cut.refused == whole.refused);
    FUZZ_ASSERT(cut.acknowledgements == whole.acknowledgements);

    // The check's answer passes only on "OK" as a word of its own.
    const QRegularExpression okWord(QStringLiteral("(?<![A-Za-z0-9_])OK(?![A-Za-z0-9_])"));
    // (Every byte: converting the array whole would stop at its first NUL.)
    const QString everyByte = QString::fromLatin1(stream.constData(), stream.size());
    FUZZ_ASSERT(StatusWordCounter::hasOkWord(stream) == okWord.match(everyByte).hasMatch());
    return 0;
}
