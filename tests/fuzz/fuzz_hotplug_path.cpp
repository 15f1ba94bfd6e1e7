// udev events of USB devices, with whatever attributes and properties a
// device or a udev rule gives them, turned into the interface paths that the
// window splits at '#'.
#include "fuzzinput.h"
#include "usbhotplugtranslator.h"

#include <QRegularExpression>
#include <QSet>

namespace {

QString text(FuzzInput &input)
{
    return QString::fromUtf8(input.field('\n'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    UsbHotplugTranslator translator;
    const QRegularExpression form(QStringLiteral(
        "^\\\\\\\\\\?\\\\USB#VID_[0-9A-F]{4}&PID_[0-9A-F]{4}#[^#]+#\\{A5DCBF10-6530-11D2-901F-00C04FB951ED\\}$"));
    QSet<QString> sysPaths;
    for (int event = 0; event < 8 && !input.atEnd(); ++event) {
        UsbDeviceEvent device;
        const uint8_t kind = input.byte();
        static const char *const actions[] = { "add", "remove", "bind", "" };
        device.action = QLatin1String(actions[kind & 3]);
        device.subsystem = kind & 4 ? QStringLiteral("usb") : text(input);
        device.devType = kind & 8 ? QStringLiteral("usb_device") : text(input);
        device.sysPath = QStringLiteral("/sys/devices/usb1/") + QString::number(input.byte() % 4);
        device.sysName = text(input);
        const uint8_t present = input.byte();
        if (present & 1)
            device.attributes.insert(QStringLiteral("idVendor"), text(input));
        if (present & 2)
            device.attributes.insert(QStringLiteral("idProduct"), text(input));
        if (present & 4)
            device.attributes.insert(QStringLiteral("serial"), text(input));
        if (present & 8)
            device.properties.insert(QStringLiteral("PRODUCT"), text(input));
        if (present & 16)
            device.properties.insert(QStringLiteral("ID_VENDOR_ID"), text(input));
        if (present & 32)
            device.properties.insert(QStringLiteral("ID_MODEL_ID"), text(input));
        if (present & 64)
            device.properties.insert(QStringLiteral("ID_SERIAL_SHORT"), text(input));

        sysPaths.insert(device.sysPath);
        if (kind & 0x80) {
            translator.remember(device);
            continue;
        }
        const UsbHotplugTranslator::Change change = translator.translate(device);
        FUZZ_ASSERT((change.kind == UsbHotplugTranslator::Ignored) == change.interfacePath.isEmpty());
        if (change.kind == UsbHotplugTranslator::Arrival)
            FUZZ_ASSERT(device.action == QLatin1String("add"));
        if (change.kind == UsbHotplugTranslator::Removal)
            FUZZ_ASSERT(device.action == QLatin1String("remove"));
        // Four parts at '#', the second naming the device: what the window
        // takes apart for its trace line.
        if (!change.interfacePath.isEmpty())
            FUZZ_ASSERT(form.match(change.interfacePath).hasMatch());
        FUZZ_ASSERT(translator.knownDeviceCount() <= sysPaths.size());
    }
    return 0;
}
