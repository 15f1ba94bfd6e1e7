#include "devicetypefromserial.h"

#include "devicetype.h"

#include <QRegularExpression>

int deviceTypeFromSerial(const QString &serialNumber)
{
    // Tried in this order over the whole text; the first that is found
    // anywhere decides. Each prefix must start a word whose remaining
    // characters are upper-case hexadecimal digits only.
    static const struct {
        const char *pattern;
        DeviceType type;
    } rules[] = {
        { "\\b(02C1[0-9A-F]*)\\b", Bridonix },
        { "\\b(05[0-9A-F]*)\\b", Primora },
        { "\\b(03D[0-9A-F]*)\\b", Socara },
        { "\\b(02C0[0-9A-F]*)\\b", Bridova },
        { "\\b(03E[0-9A-F]*)\\b", Beamora },
        { "\\b(04E2[0-9A-F]*)\\b", Dongara },
    };

    // (A word is made of letters, digits and '_' of any script.)
    for (const auto &rule : rules) {
        const QRegularExpression pattern(QLatin1String(rule.pattern), QRegularExpression::UseUnicodePropertiesOption);
        if (pattern.match(serialNumber).hasMatch())
            return rule.type;
    }
    return UnknownDevice;
}
