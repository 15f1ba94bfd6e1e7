#include "devicecatalog.h"

#include "devicetype.h"

#include <QRegExp>
#include <QRegExpValidator>
#include <QSerialPortInfo>

namespace {

// True when `pattern` matches the whole of `text`, case-sensitively.
bool passes(const QString &pattern, const QString &text)
{
    const QRegExp expression(pattern, Qt::CaseSensitive, QRegExp::RegExp);
    const QRegExpValidator validator(expression);
    QString input = text;
    int position = 0;
    return validator.validate(input, position) == QValidator::Acceptable;
}

// Product pattern on the row text, image pattern on the image path; the
// first product pattern that passes decides.
const struct {
    const char *product;
    const char *image;
} imageModels[] = {
    { ".*Dongara.*", ".*DG.*" },
    { ".*Beamora.*", ".*BEAMORA.*" },
    { ".*Brido.*", ".*BRDV.*" },
    { ".*Primora.*", ".*PR.*|.*INB.*" },
    { ".*Socara.*", ".*SOCARA.*" },
};

} // namespace

QStringList DeviceCatalog::deviceNames()
{
    return { QStringLiteral("Unknown device"), QStringLiteral("Primora"),  QStringLiteral("Bridova"),
             QStringLiteral("Bridonix"),       QStringLiteral("Socara"),   QStringLiteral("Beamora"),
             QStringLiteral("Dongara"),        QStringLiteral("Unknown Remote Device") };
}

int DeviceCatalog::typeOfRow(const QString &rowText)
{
    const int index = deviceNames().indexOf(rowText.section(QLatin1Char(' '), 0, 0));
    return index < 0 ? UnknownDevice : index;
}

int DeviceCatalog::serialPortDeviceType(quint16 productId)
{
    switch (productId) {
    case 0x0011:
        return Primora;
    case 0x0012:
    case 0x0013:
        return Socara;
    case 0x0014:
        return Beamora;
    case 0x0015:
        return Dongara;
    default:
        return UnknownDevice;
    }
}

QString DeviceCatalog::serialRowText(const QSerialPortInfo &port)
{
    return deviceNames().value(serialPortDeviceType(port.productIdentifier())) + QLatin1String(" S/N: ")
        + port.serialNumber() + QLatin1String(" via ") + port.portName();
}

QString DeviceCatalog::networkRowText(int type, const QString &serialNumber, const QString &ip)
{
    return deviceNames().value(type) + QLatin1String(" S/N: ") + serialNumber + QLatin1String(" at ") + ip;
}

bool DeviceCatalog::imageMatches(const QString &rowText, const QString &imagePath, bool networkDevice)
{
    const int type = typeOfRow(rowText);
    if (type == UnknownDevice)
        return false;

    QString extension;
    if (networkDevice)
        extension = QStringLiteral(".*IN2.*|.*INB.*");
    else if (type >= Socara)
        extension = QStringLiteral(".*IN2.*");
    else
        extension = QStringLiteral(".*INC.*");
    if (!passes(extension, imagePath))
        return false;

    for (const auto &model : imageModels) {
        if (passes(QLatin1String(model.product), rowText))
            return passes(QLatin1String(model.image), imagePath);
    }
    return false;
}

bool DeviceCatalog::isUnknownRow(const QString &rowText)
{
    return rowText.contains(QLatin1String("Undefined")) || rowText.contains(QLatin1String("Unknown"));
}
