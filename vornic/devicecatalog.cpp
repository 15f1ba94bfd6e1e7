#include "devicecatalog.h"

#include "devicetype.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSerialPortInfo>

namespace {

// True when `pattern` matches the whole of `text`, case-sensitively: what a
// regular-expression validator finds Acceptable, without the GUI module
// that holds it. ('.' matches any character, a line end in a file name
// too.)
bool passes(const QString &pattern, const QString &text)
{
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern),
                                        QRegularExpression::DotMatchesEverythingOption);
    return expression.match(text).hasMatch();
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

namespace {

QString kindPattern(int type, bool networkDevice)
{
    if (networkDevice)
        return QStringLiteral(".*IN2.*|.*INB.*");
    if (type >= Socara)
        return QStringLiteral(".*IN2.*");
    return QStringLiteral(".*INC.*");
}

// The image pattern of the first model whose product pattern passes the
// row; empty when none does.
QString modelPattern(const QString &rowText)
{
    for (const auto &model : imageModels) {
        if (passes(QLatin1String(model.product), rowText))
            return QLatin1String(model.image);
    }
    return QString();
}

// The words a ".*A.*|.*B.*" pattern looks for.
QStringList wordsOf(const QString &pattern)
{
    QStringList words = pattern.split(QLatin1Char('|'));
    for (QString &word : words)
        word.remove(QStringLiteral(".*"));
    return words;
}

} // namespace

bool DeviceCatalog::imageMatches(const QString &rowText, const QString &imagePath, bool networkDevice)
{
    const int type = typeOfRow(rowText);
    if (type == UnknownDevice)
        return false;
    // The file's own name says what it is: a folder named after a model
    // (PROD/, BRDV/) does not make every image in it one for that model.
    const QString name = QFileInfo(imagePath).fileName();
    if (!passes(kindPattern(type, networkDevice), name))
        return false;
    const QString model = modelPattern(rowText);
    return !model.isEmpty() && passes(model, name);
}

QString DeviceCatalog::imageRequirement(const QString &rowText, bool networkDevice)
{
    const int type = typeOfRow(rowText);
    const QString model = modelPattern(rowText);
    if (type == UnknownDevice || model.isEmpty())
        return QString();
    const QStringList tags = wordsOf(model);
    const QStringList kinds = wordsOf(kindPattern(type, networkDevice));
    const QString either = QStringLiteral(" or ");
    const QString both = tags.size() > 1 || kinds.size() > 1 ? QStringLiteral(", and ") : QStringLiteral(" and ");
    return QStringLiteral("A %1%2 takes an image whose file name contains %3%4%5, in capitals (for example %6.%7).")
        .arg(deviceNames().value(type), networkDevice ? QStringLiteral(" on the network") : QString(),
             tags.join(either), both, kinds.join(either), tags.first(), kinds.first());
}

bool DeviceCatalog::isUnknownRow(const QString &rowText)
{
    return rowText.contains(QLatin1String("Undefined")) || rowText.contains(QLatin1String("Unknown"));
}

bool DeviceCatalog::modelKnown(const QString &rowText)
{
    return !isUnknownRow(rowText) && typeOfRow(rowText) != 0;
}

QString DeviceCatalog::modelOf(const QString &rowText)
{
    return deviceNames().value(typeOfRow(rowText));
}

QStringList DeviceCatalog::modelsFitting(const QString &imagePath)
{
    QStringList models;
    for (const QString &model : deviceNames()) {
        if (imageMatches(model, imagePath, false))
            models << model;
    }
    return models;
}
