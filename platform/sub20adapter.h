#ifndef SUB20ADAPTER_H
#define SUB20ADAPTER_H

// What stands behind a sub_handle: one adapter backend. Results follow the
// C interface of sub20.h; a failing call returns an error number (or -1 for
// a transfer) after setting it with setError().
class Sub20Adapter
{
public:
    virtual ~Sub20Adapter() = default;

    virtual int irConfig(int carrierHz, int dutyPercent, int mode, int repeats) = 0;
    virtual int irTransmit(const char *data, int size) = 0;
    virtual int rsTiming(int flags, int txSpaceUs, int replyWaitUs, int byteGapUs) = 0;
    virtual int rsTransfer(const char *tx, int txSize, char *rx, int rxSize) = 0;

    // The calling thread's last error number (sub_errno()).
    static void setError(int error);
    static int lastError();
};

#endif // SUB20ADAPTER_H
