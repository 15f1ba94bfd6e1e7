#ifndef FILENAMECODEC_H
#define FILENAMECODEC_H

#include <QTextCodec>

// Qt 5 turns names and command-line arguments into text with the locale's
// codec. This one decodes and encodes them as FileNames does, so that Qt's
// own names (its dialogs, QFile, QDir, arguments) keep their bytes too.
// Installed as the locale codec when that is UTF-8 (FileNames::install()).
class FileNameCodec : public QTextCodec
{
public:
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
