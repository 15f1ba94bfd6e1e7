#ifndef TESTIMAGE_H
#define TESTIMAGE_H

#include <QByteArray>
#include <QString>

// The bytes of a test firmware image: no run of them repeats within 64 KiB,
// so a block or record written twice, skipped or put at the wrong place
// shows in a comparison.
class TestImage
{
public:
    static QByteArray bytes(int size);
    // Writes `bytes` as `name` in `folder`; the file's path, or empty when
    // it could not be written whole.
    static QString store(const QString &folder, const QString &name, const QByteArray &bytes);
};

#endif // TESTIMAGE_H
