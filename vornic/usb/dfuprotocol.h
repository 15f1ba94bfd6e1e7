#ifndef DFUPROTOCOL_H
#define DFUPROTOCOL_H

#include <QtGlobal>

struct libusb_config_descriptor;
struct libusb_device;
struct libusb_device_handle;

// DFU 1.1 states the engine looks at.
enum DfuState {
    DfuStateAppIdle = 0,
    DfuStateAppDetach = 1,
    DfuStateDfuIdle = 2,
    DfuStateDnloadSync = 3,
    DfuStateDnbusy = 4,
    DfuStateDnloadIdle = 5,
    DfuStateManifestSync = 6,
    DfuStateManifest = 7,
    DfuStateManifestWaitReset = 8,
    DfuStateUploadIdle = 9,
    DfuStateError = 10
};

// Where the DFU interface of a device sits; filled by findFirstDfuInterface.
struct DfuInterface
{
    quint16 vendor = 0;
    quint16 product = 0;
    quint16 bcdDevice = 0;
    quint8 configuration = 0;
    quint8 interface = 0;
    quint8 altsetting = 0;
    static const unsigned DfuModeFlag = 1u;
    unsigned flags = 0;                 // DfuModeFlag: the interface is in DFU mode
    libusb_device *device = nullptr;
    libusb_device_handle *handle = nullptr;
};

// The 9-byte DFU functional descriptor as it travels on the bus
// (multi-byte fields little-endian).
#pragma pack(push, 1)
struct DfuFunctionalDescriptor
{
    quint8 bLength;
    quint8 bDescriptorType;
    quint8 bmAttributes;
    quint16 wDetachTimeOut;
    quint16 wTransferSize;
    quint16 bcdDFUVersion;
};
#pragma pack(pop)
static_assert(sizeof(DfuFunctionalDescriptor) == 9, "the functional descriptor is 9 bytes on the bus");

// The decoded DFU_GETSTATUS reply.
struct DfuStatus
{
    quint8 bStatus = 14;                // errUNKNOWN
    quint32 bwPollTimeout = 0;
    quint8 bState = DfuStateError;
    quint8 iString = 0;
};

// Sets the process-wide time limit (ms) of DFU_DETACH and DFU_GETSTATUS.
// Values of 0 or less are ignored. Until a limit is set those requests fail
// with -1 without touching the bus.
void dfuInit(int timeout);
// The limit set by dfuInit, 0 while unset.
int dfuRequestTimeout();

// DFU_DETACH with the given detach time-out (ms). Returns the transfer result.
int dfuDetach(libusb_device_handle *handle, int interface, int detachTimeout);
// DFU_GETSTATUS. `status` is reset first and overwritten only by a complete
// 6-byte reply. Returns the number of bytes received or a negative libusb error.
int dfuGetStatus(libusb_device_handle *handle, int interface, DfuStatus &status);

// Finds the first alternate setting of class 0xFE, subclass 0x01 and fills
// `dfu` (its handle is left alone). 1 when found, 0 when not, a negative
// libusb error when a descriptor cannot be read.
int findFirstDfuInterface(DfuInterface &dfu);
// The same search in one configuration; fills the configuration, interface,
// alternate setting and mode flag of `dfu`.
bool findDfuInterfaceIn(const libusb_config_descriptor &config, DfuInterface &dfu);

// Copies the `index`-th class descriptor of `type` that follows the given
// interface's descriptor in the configuration with value `configuration`.
// Returns the number of bytes copied, 0 when none was found, negative on error.
int readDfuFunctionalDescriptor(libusb_device *device, quint8 configuration, quint8 interface, quint8 type,
                                quint8 index, void *buffer, int length);
// The same copy from a configuration already read; -1 when the list after
// the interface holds a descriptor of length 0.
int classDescriptorIn(const libusb_config_descriptor &config, quint8 interface, quint8 type, quint8 index,
                      void *buffer, int length);

// A readable name of a DFU state for messages ("dfuERROR").
const char *dfuStateName(int state);

#endif // DFUPROTOCOL_H
