// A USB device's configuration as libusb hands it over after reading it
// from the device: interfaces, alternate settings and the class-specific
// bytes after each, all chosen by the device. The walk finds the DFU
// interface and copies its functional descriptor.
#include "fuzzinput.h"
#include "usb/dfuprotocol.h"

#include <libusb.h>

#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    libusb_config_descriptor config;
    std::memset(&config, 0, sizeof config);
    config.bConfigurationValue = input.byte();
    config.bNumInterfaces = input.byte() % 5;
    std::vector<libusb_interface> interfaces(config.bNumInterfaces);
    std::vector<std::vector<libusb_interface_descriptor>> alternates(config.bNumInterfaces);
    // Each block of extra bytes in a buffer of exactly its size, so that a
    // read past its end is caught.
    std::vector<std::unique_ptr<unsigned char[]>> extras;
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        alternates[i].resize(input.byte() % 4);
        for (libusb_interface_descriptor &alt : alternates[i]) {
            std::memset(&alt, 0, sizeof alt);
            alt.bInterfaceNumber = input.byte() % 4;
            alt.bAlternateSetting = input.byte();
            alt.bInterfaceClass = input.byte() & 1 ? 0xFE : input.byte();
            alt.bInterfaceSubClass = input.byte() & 1 ? 0x01 : input.byte();
            alt.bInterfaceProtocol = input.byte();
            const QByteArray extra = input.bytes(input.byte() % 40);
            if (!extra.isEmpty()) {
                extras.emplace_back(new unsigned char[size_t(extra.size())]);
                std::memcpy(extras.back().get(), extra.constData(), size_t(extra.size()));
                alt.extra = extras.back().get();
                alt.extra_length = extra.size();
            }
        }
        interfaces[i].altsetting = alternates[i].data();
        interfaces[i].num_altsetting = int(alternates[i].size());
    }
    config.interface = interfaces.data();

    DfuInterface dfu;
    if (findDfuInterfaceIn(config, dfu)) {
        FUZZ_ASSERT(dfu.configuration == config.bConfigurationValue);
        bool exists = false;
        for (const auto &list : alternates) {
            for (const libusb_interface_descriptor &alt : list)
                exists = exists || (alt.bInterfaceClass == 0xFE && alt.bInterfaceSubClass == 0x01
                                    && alt.bInterfaceNumber == dfu.interface && alt.bAlternateSetting == dfu.altsetting);
        }
        FUZZ_ASSERT(exists);
    }

    const quint8 interface = input.byte() % 4;
    const quint8 index = input.byte() % 3;
    DfuFunctionalDescriptor functional;
    std::memset(&functional, 0xA5, sizeof functional);
    const int copied = classDescriptorIn(config, interface, 0x21, index, &functional, int(sizeof functional));
    FUZZ_ASSERT(copied >= -1 && copied <= int(sizeof functional));
    if (copied > 0) {
        // What was copied is a descriptor of the type asked for, as the
        // device sent it, from a list after that interface.
        const auto *bytes = reinterpret_cast<const unsigned char *>(&functional);
        FUZZ_ASSERT(bytes[1] == 0x21 || copied == 1);
        bool found = false;
        for (const auto &list : alternates) {
            for (const libusb_interface_descriptor &alt : list) {
                if (alt.bInterfaceNumber != interface)
                    continue;
                for (int at = 0; at + copied <= alt.extra_length && !found; ++at)
                    found = std::memcmp(alt.extra + at, bytes, size_t(copied)) == 0;
            }
        }
        FUZZ_ASSERT(found);
        for (size_t at = size_t(copied); at < sizeof functional; ++at)
            FUZZ_ASSERT(bytes[at] == 0xA5);
    }
    return 0;
}
