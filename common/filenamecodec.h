#ifndef FILENAMECODEC_H
#define FILENAMECODEC_H

#include <QTextCodec>

// File names on Linux are bytes, not text: a name need not be valid UTF-8
// (a file copied from an old Latin-1 system, a camera's card). Qt turns
// names and command-line arguments into text with the locale's codec, and
// its UTF-8 decoder replaces every invalid byte, so such a file could never
// be opened again. This codec is UTF-8 for all valid text and keeps each
// invalid byte as a lone surrogate (U+DC80 to U+DCFF), which it turns back
// into that byte: every name read from the disk or the command line opens
// the same file. Installed as the locale codec when that is UTF-8.
class FileNameCodec : public QTextCodec
{
public:
    // Call once, first thing in main(): arguments are decoded when asked for.
    static void install();

    QByteArray name() const override;
    int mibEnum() const override;

protected:
    QString convertToUnicode(const char *in, int length, ConverterState *state) const override;
    QByteArray convertFromUnicode(const QChar *in, int length, ConverterState *state) const override;

private:
    FileNameCodec() = default;
};

#endif // FILENAMECODEC_H
