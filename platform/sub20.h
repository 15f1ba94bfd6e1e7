#ifndef SUB20_H
#define SUB20_H

// The SUB-20 adapter as Tamsel uses it: its infrared transmitter and its
// RS-485 port. Every call works on the calling thread. Which adapter stands
// behind a handle is chosen when sub_open() runs: Tamsel's settings file,
// group [adapter], key "backend" = "simulated", "rs485" or "none" (the
// default), overridden by the environment variable TAMSEL_ADAPTER.

#ifdef __cplusplus
extern "C" {
#endif

typedef struct sub20_device_t *sub_device;
typedef struct sub20_handle_t *sub_handle;

// Error numbers of this layer, for sub_strerror().
enum {
    SUB_ERROR_NO_ADAPTER = 1001,        // null handle
    SUB_ERROR_NOT_SUPPORTED = 1002,     // the adapter has no such function
    SUB_ERROR_CONFIG = 1003,            // the adapter refused the configuration
    SUB_ERROR_TRANSMIT = 1004,          // the transmission failed
    SUB_ERROR_PORT = 1005,              // the serial port failed or went away
    SUB_ERROR_ARGUMENT = 1006           // a size or buffer the adapter cannot take
};

// The first adapter found when `device` is null; null when there is none.
sub_handle sub_open(sub_device device);
// Releases the handle; a null handle is ignored.
int sub_close(sub_handle handle);
// 0 when the infrared transmitter is configured, else an error number.
int sub_ir_config(sub_handle handle, int carrierHz, int dutyPercent, int mode, int repeats);
// 0 when the `size` bytes went out, else an error number.
int sub_ir_tx(sub_handle handle, int size, char *data);
// Timing of the next RS-485 transfers; `replyWaitUs` bounds the wait for the
// first reply byte. 0, or an error number.
int sub_rs_timing(sub_handle handle, int flags, int txSpaceUs, int replyWaitUs, int byteGapUs);
// Sends `txSize` bytes and collects the reply: the number of bytes received
// (up to `rxSize`), 0 when nothing came in time, -1 on failure (sub_errno()).
int sub_rs_xfer(sub_handle handle, char *tx, int txSize, char *rx, int rxSize);
// The error number of this thread's last failed call.
int sub_errno(void);
// A text for an error number (never null).
const char *sub_strerror(int error);

#ifdef __cplusplus
}

#include <QString>

// The serial port that stands for the adapter when the RS-485 backend is
// configured (the adapter counts as present while it exists); empty for
// the other backends.
QString sub20AdapterPort();

// Why the last sub_open() on this thread found no adapter although one is
// configured, when the reason is one the user can mend (the converter's
// serial port missing or closed to this user, settings that cannot be
// used); empty otherwise.
QString sub20OpenProblem();

// The system's error number behind sub20OpenProblem() (EACCES, ENOENT, ...;
// EINVAL for settings that cannot be used); 0 when there is none.
int sub20OpenErrorNumber();

// How to give Tamsel an adapter: the backends and where they are chosen.
QString sub20BackendAdvice();
#endif

#endif // SUB20_H
