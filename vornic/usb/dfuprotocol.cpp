#include "dfuprotocol.h"

#include <libusb.h>

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// 0 while no limit has been set.
std::atomic<int> requestTimeout { 0 };

const quint8 requestOut = 0x21;        // host to device, class, interface
const quint8 requestIn = 0xA1;         // device to host, class, interface
const quint8 dfuDetachRequest = 0;
const quint8 dfuGetStatusRequest = 3;
const int statusLength = 6;

const quint8 applicationSpecificClass = 0xFE;
const quint8 dfuSubClass = 0x01;
const quint8 dfuModeProtocol = 2;

} // namespace

void dfuInit(int timeout)
{
    if (timeout > 0)
        requestTimeout = timeout;
}

int dfuRequestTimeout()
{
    return requestTimeout;
}

int dfuDetach(libusb_device_handle *handle, int interface, int detachTimeout)
{
    const int timeout = requestTimeout;
    if (timeout <= 0)
        return -1;
    return libusb_control_transfer(handle, requestOut, dfuDetachRequest, quint16(detachTimeout),
                                   quint16(interface), nullptr, 0, unsigned(timeout));
}

int dfuGetStatus(libusb_device_handle *handle, int interface, DfuStatus &status)
{
    status = DfuStatus();
    const int timeout = requestTimeout;
    if (timeout <= 0)
        return -1;

    unsigned char reply[statusLength] = {};
    const int result = libusb_control_transfer(handle, requestIn, dfuGetStatusRequest, 0, quint16(interface),
                                               reply, statusLength, unsigned(timeout));
    if (result == statusLength) {
        status.bStatus = reply[0];
        status.bwPollTimeout = quint32(reply[1]) | (quint32(reply[2]) << 8) | (quint32(reply[3]) << 16);
        status.bState = reply[4];
        status.iString = reply[5];
    }
    return result;
}

int findFirstDfuInterface(DfuInterface &dfu)
{
    libusb_device_descriptor descriptor;
    int result = libusb_get_device_descriptor(dfu.device, &descriptor);
    if (result != 0)
        return result;

    for (int index = 0; index < descriptor.bNumConfigurations; ++index) {
        libusb_config_descriptor *config = nullptr;
        result = libusb_get_config_descriptor(dfu.device, quint8(index), &config);
        if (result != 0)
            return result;
        const bool found = findDfuInterfaceIn(*config, dfu);
        libusb_free_config_descriptor(config);
        if (found) {
            dfu.vendor = descriptor.idVendor;
            dfu.product = descriptor.idProduct;
            dfu.bcdDevice = descriptor.bcdDevice;
            return 1;
        }
    }
    return 0;
}

bool findDfuInterfaceIn(const libusb_config_descriptor &config, DfuInterface &dfu)
{
    for (int i = 0; i < config.bNumInterfaces; ++i) {
        const libusb_interface &interface = config.interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor &alt = interface.altsetting[a];
            if (alt.bInterfaceClass != applicationSpecificClass || alt.bInterfaceSubClass != dfuSubClass)
                continue;
            dfu.configuration = config.bConfigurationValue;
            dfu.interface = alt.bInterfaceNumber;
            dfu.altsetting = alt.bAlternateSetting;
            if (alt.bInterfaceProtocol == dfuModeProtocol)
                dfu.flags |= DfuInterface::DfuModeFlag;
            return true;
        }
    }
    return false;
}

int readDfuFunctionalDescriptor(libusb_device *device, quint8 configuration, quint8 interface, quint8 type,
                                quint8 index, void *buffer, int length)
{
    libusb_config_descriptor *config = nullptr;
    int result = libusb_get_config_descriptor_by_value(device, configuration, &config);
    if (result == LIBUSB_ERROR_NOT_FOUND) {
        std::fputs("Error: Device is unconfigured\n", stderr);
        return result;
    }
    if (result != 0) {
        std::fputs("Error: failed libusb_config_descriptor_by_value()\n", stderr);
        return result;
    }

    result = classDescriptorIn(*config, interface, type, index, buffer, length);
    if (result < 0)
        std::fputs("Error: Invalid descriptor list\n", stderr);
    libusb_free_config_descriptor(config);
    return result;
}

int classDescriptorIn(const libusb_config_descriptor &config, quint8 interface, quint8 type, quint8 index,
                      void *buffer, int length)
{
    int result = 0;
    for (int i = 0; i < config.bNumInterfaces && result <= 1; ++i) {
        const libusb_interface &candidate = config.interface[i];
        for (int a = 0; a < candidate.num_altsetting && result <= 1; ++a) {
            const libusb_interface_descriptor &alt = candidate.altsetting[a];
            if (alt.bInterfaceNumber != interface || alt.extra_length <= 1)
                continue;
            // The extra bytes are a list of descriptors: length, type, body.
            const unsigned char *list = alt.extra;
            int left = alt.extra_length;
            int seen = 0;
            result = 0;
            while (left >= 2) {
                const int descriptorLength = list[0];
                if (descriptorLength == 0) {
                    result = -1;
                    break;
                }
                if (list[1] == type) {
                    if (seen == index) {
                        const int copied = qMin(qMin(descriptorLength, length), left);
                        std::memcpy(buffer, list, size_t(copied));
                        result = copied;
                        break;
                    }
                    ++seen;
                }
                list += descriptorLength;
                left -= descriptorLength;
            }
        }
    }
    return result;
}

const char *dfuStateName(int state)
{
    static const char *const names[] = {
        "appIDLE", "appDETACH", "dfuIDLE", "dfuDNLOAD-SYNC", "dfuDNBUSY", "dfuDNLOAD-IDLE",
        "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET", "dfuUPLOAD-IDLE", "dfuERROR"
    };
    if (state < 0 || state >= int(sizeof names / sizeof names[0]))
        return "unknown";
    return names[state];
}
