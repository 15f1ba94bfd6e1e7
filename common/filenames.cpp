#include "filenames.h"

#include <QCoreApplication>
#include <QtGlobal>

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include "filenamecodec.h"
#endif

namespace {

const ushort escapeBase = 0xDC00;     // + the byte (0x80 to 0xFF)

QStringList &keptArguments()
{
    static QStringList arguments;
    return arguments;
}

bool kept = false;

} // namespace

int FileNames::sequenceLength(const uchar *bytes, int left)
{
    const uchar lead = bytes[0];
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
        if ((bytes[i] & 0xC0) != 0x80)
            return 0;
        code = (code << 6) | (bytes[i] & 0x3F);
    }
    // No overlong forms, no surrogates, nothing past U+10FFFF.
    if (code < lowest || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
        return 0;
    return length;
}

QString FileNames::decode(const char *in, int length)
{
    const auto *bytes = reinterpret_cast<const uchar *>(in);
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

QByteArray FileNames::encode(const QChar *in, int length)
{
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

void FileNames::install()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    FileNameCodec::install();
#endif
}

void FileNames::keepArguments(int argc, char **argv)
{
    QStringList &arguments = keptArguments();
    arguments.clear();
    for (int i = 0; i < argc; ++i)
        arguments << decode(QByteArray(argv[i]));
    kept = true;
}

QStringList FileNames::arguments()
{
    return kept ? keptArguments() : QCoreApplication::arguments();
}
