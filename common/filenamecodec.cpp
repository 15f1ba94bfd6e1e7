#include "filenamecodec.h"

#include "filenames.h"

namespace {

const ushort escapeBase = 0xDC00;     // + the byte (0x80 to 0xFF)

QTextCodec *utf8()
{
    return QTextCodec::codecForMib(106);
}

bool hasEscapes(const QChar *in, int length)
{
    for (int i = 0; i < length; ++i) {
        const ushort unit = in[i].unicode();
        if (unit >= escapeBase + 0x80 && unit <= escapeBase + 0xFF)
            return true;
    }
    return false;
}

} // namespace

void FileNameCodec::install()
{
    const QTextCodec *locale = QTextCodec::codecForLocale();
    if (locale && locale->mibEnum() == 106)
        QTextCodec::setCodecForLocale(new FileNameCodec);   // kept by Qt for the process
}

QByteArray FileNameCodec::name() const
{
    return QByteArrayLiteral("UTF-8 (bytes kept)");
}

int FileNameCodec::mibEnum() const
{
    // No registered number of its own; outside the IANA range.
    return 3000;
}

QString FileNameCodec::convertToUnicode(const char *in, int length, ConverterState *state) const
{
    const auto *bytes = reinterpret_cast<const uchar *>(in);
    bool valid = true;
    for (int at = 0; at < length && valid;) {
        const int step = FileNames::sequenceLength(bytes + at, length - at);
        // A sequence cut short by the end of a piece is left to the state
        // that carries it to the next; without one (a whole name) its bytes
        // are kept as they are.
        valid = step > 0 || (step < 0 && state);
        at += step > 0 ? step : length;
    }
    return valid ? utf8()->toUnicode(in, length, state) : FileNames::decode(in, length);
}

QByteArray FileNameCodec::convertFromUnicode(const QChar *in, int length, ConverterState *state) const
{
    return hasEscapes(in, length) ? FileNames::encode(in, length) : utf8()->fromUnicode(in, length, state);
}
