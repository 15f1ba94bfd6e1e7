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

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Where `word` stands in `stream` as a status word: no letter directly
// before it, and none directly after it unless a read ended there (`cuts`
// holds the offsets where reads ended; a word that ends a read is taken as
// said).
QVector<int> statusWords(const QByteArray &stream, const QByteArray &word, const QVector<bool> &cuts)
{
    QVector<int> found;
    for (int at = stream.indexOf(word); at >= 0; at = stream.indexOf(word, at + 1)) {
        const int end = at + word.size();
        const bool before = at > 0 && isLetter(stream.at(at - 1));
        const bool after = end < stream.size() && isLetter(stream.at(end)) && !cuts.at(end);
        if (!before && !after)
            found << at;
    }
    return found;
}

// The upload's view, from the whole stream at once: the "OK"s that end
// before the first refusal, and whether there is one.
StatusWordCounter::Result wholeStream(const QByteArray &stream, const QVector<bool> &cuts)
{
    int refusal = -1;
    for (const char *word : { "ERROR", "Unknown" }) {
        const QVector<int> at = statusWords(stream, word, cuts);
        if (!at.isEmpty() && (refusal < 0 || at.first() < refusal))
            refusal = at.first();
    }
    StatusWordCounter::Result result;
    result.refused = refusal >= 0;
    for (const int at : statusWords(stream, "OK", cuts)) {
        if (!result.refused || at + 2 <= refusal)
            ++result.acknowledgements;
    }
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
    // (Up to the refusal: the upload reads no further.)
    StatusWordCounter counter;
    StatusWordCounter::Result cut;
    QVector<bool> cuts(stream.size() + 1, false);
    int readTo = 0;
    uint32_t state = seed * 2654435761u + 1;
    for (int at = 0; at < stream.size() && !cut.refused;) {
        state = state * 1103515245u + 12345u;
        const int length = 1 + int((state >> 16) % (seed % 16 + 1));
        const StatusWordCounter::Result read = counter.feed(stream.mid(at, length));
        cut.acknowledgements += read.acknowledgements;
        cut.refused = read.refused;
        at += length;
        readTo = qMin(at, int(stream.size()));
        cuts[readTo] = true;
    }
    const StatusWordCounter::Result whole = wholeStream(stream.left(readTo), cuts);
    FUZZ_ASSERT(cut.refused == whole.refused);
    FUZZ_ASSERT(cut.acknowledgements == whole.acknowledgements);

    // The check's answer passes only on "OK" with no letter beside it.
    const QRegularExpression okWord(QStringLiteral("(?<![A-Za-z])OK(?![A-Za-z])"));
    // (Every byte: converting the array whole would stop at its first NUL.)
    const QString everyByte = QString::fromLatin1(stream.constData(), stream.size());
    FUZZ_ASSERT(StatusWordCounter::hasOkWord(stream) == okWord.match(everyByte).hasMatch());
    return 0;
}
