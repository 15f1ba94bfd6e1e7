#include "filenamecodec.h"

namespace {

const ushort escapeBase = 0xDC00;     // + the byte (0x80 to 0xFF)

QTextCodec *utf8()
{
    return QTextCodec::codecForMib(106);
}

// The length of the valid UTF-8 sequence at `in` (of `left` bytes), 0 when
// it is not one; -1 when it is cut short by the end of the input.
int sequenceLength(const uchar *in, int left)
{
    const uchar lead = in[0];
    if (lead < 0x80)
        return 1;
    int length = 0;
    uint lowest = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        lowest = 0x10000;
    } else {
        return 0;
    }
    uint code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if (i >= left)
            return -1;
        if ((in[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (in[i] & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if (code < lowest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
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
        const int step = sequenceLength(bytes + at, length - at);
        // A sequence cut short by the end of a piece is left to the state
        // that carries it to the next; without one (a whole name) its bytes
        // are kept as they are.
        valid = step > 0 || (step < 0 && state);
        at += step > 0 ? step : length;
    }
    if (valid)
        return utf8()->toUnicode(in, length, state);

    QString text;
    text.reserve(length);
    for (int at = 0; at < length;) {
        const int step = sequenceLength(bytes + at, length - at);
        if (step <= 0) {
            text.append(QChar(ushort(escapeBase + bytes[at])));
            ++at;
            continue;
        }
        text.append(QString::fromUtf8(in + at, step));
        at += step;
    }
    return text;
}

QByteArray FileNameCodec::convertFromUnicode(const QChar *in, int length, ConverterState *state) const
{
    if (!hasEscapes(in, length))
        return utf8()->fromUnicode(in, length, state);

    QByteArray bytes;
    bytes.reserve(length * 3);
    int run = 0;                         // start of the text not yet encoded
    for (int i = 0; i < length; ++i) {
        const ushort unit = in[i].unicode();
        const bool paired = i > 0 && in[i - 1].isHighSurrogate();
        if (unit >= escapeBase + 0x80 && unit <= escapeBase + 0xFF && !paired) {
            bytes += QString(in + run, i - run).toUtf8();
            bytes += char(unit - escapeBase);
            run = i + 1;
        }
    }
    bytes += QString(in + run, length - run).toUtf8();
    return bytes;
}
