#ifndef FILENAMES_H
#define FILENAMES_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// File names on Linux are bytes, not text: a name need not be valid UTF-8
// (a file copied from an old Latin-1 system, a camera's card). Qt's own
// decoder replaces every invalid byte, so such a file could never be opened
// again. Here valid UTF-8 is text as ever and each invalid byte becomes a
// lone surrogate (U+DC80 to U+DCFF), which encode() turns back into that
// byte: every name read from the disk or the command line opens the same
// file.
class FileNames
{
public:
    static QString decode(const char *bytes, int length);
    static QString decode(const QByteArray &bytes) { return decode(bytes.constData(), bytes.size()); }
    static QByteArray encode(const QChar *text, int length);
    static QByteArray encode(const QString &name) { return encode(name.constData(), int(name.size())); }
    // The length of the valid UTF-8 sequence at `bytes` (of `left` bytes),
    // 0 when it is not one; -1 when it is cut short by the end of the input.
    static int sequenceLength(const uchar *bytes, int left);

    // Call once, first thing in main(): where the Qt version lets a
    // program choose how its names are decoded (Qt 5's locale codec), Qt's
    // own names keep their bytes too (its file dialogs, QFile, QDir).
    static void install();
    // After the application object is made (which takes Qt's own options
    // out of argv): the program's arguments, decoded as above, for
    // arguments().
    static void keepArguments(int argc, char **argv);
    // The arguments kept, or Qt's own list when none were.
    static QStringList arguments();
};

#endif // FILENAMES_H
