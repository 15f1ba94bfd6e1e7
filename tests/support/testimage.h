#ifndef TESTIMAGE_H
#define TESTIMAGE_H

#include <QByteArray>

// The bytes of a test firmware image: no run of them repeats within 64 KiB,
// so a block or record written twice, skipped or put at the wrong place
// shows in a comparison.
class TestImage
{
public:
    static QByteArray bytes(int size);
};

#endif // TESTIMAGE_H
