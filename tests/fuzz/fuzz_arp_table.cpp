// The kernel's neighbour table as /proc/net/arp lists it, with the address
// asked for on the first line of the input.
#include "fuzzinput.h"
#include "neighbourtable.h"

#include <QList>
#include <QString>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const QString ipv4 = QString::fromLatin1(input.field('\n'));
    const QByteArray table = input.rest();
    const QByteArray mac = hardwareAddressInArpTable(table, ipv4);
    if (mac.isEmpty())
        return 0;
    // Six bytes, not all zero, from a line of that address that lists them
    // in the kernel's own form.
    FUZZ_ASSERT(mac.size() == 6 && mac != QByteArray(6, '\0'));
    QByteArray text = mac.toHex(':');
    bool listed = false;
    const QList<QByteArray> lines = table.split('\n');
    for (int i = 1; i < lines.size(); ++i) {
        const QList<QByteArray> fields = lines.at(i).simplified().split(' ');
        listed = listed || (fields.size() >= 4 && fields.at(0) == ipv4.toLatin1() && fields.at(3).toLower() == text);
    }
    FUZZ_ASSERT(listed);
    return 0;
}
