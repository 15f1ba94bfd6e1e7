#ifndef STATUSWORDCOUNTER_H
#define STATUSWORDCOUNTER_H

#include <QByteArray>

// The status words of a device's answers: "OK", "ERROR" and "Unknown" count
// where no letter stands directly before or after them ("CRC_OK", "OK1" and
// "iwr ? OK" hold an OK; "NOK", "OKAY" and "BROKEN" do not). One rule for
// every answer: records, the check, every command.
//
// A counter counts them read by read. A word split between two reads ("O"
// then "K", "ERR" then "OR") is seen once, in the read that completes it,
// however the answers are cut: the last bytes of each read are carried over
// to the next. A word that ends a read is counted there, so that a device
// that sends no line end is still answered.
class StatusWordCounter
{
public:
    struct Result
    {
        // The "OK"s completed by this read (before its refusal, if any).
        int acknowledgements = 0;
        // This read completed an "ERROR" or "Unknown".
        bool refused = false;
    };

    Result feed(const QByteArray &piece);
    void clear() { m_carry.clear(); }

    // `word` ("OK", "ERROR", "Unknown") as a status word in `text`, starting
    // at or after `from`: its position, or -1.
    static int findWord(const QByteArray &text, const char *word, int from = 0);
    static bool hasOkWord(const QByteArray &text) { return findWord(text, "OK") >= 0; }
    // An "ERROR" or "Unknown": the device refused.
    static bool hasRefusal(const QByteArray &text);
    // An OK in `text` that the same answer takes back: "NOT" or "NO"
    // directly before it, or "FAIL", "FAILED" or "BAD" anywhere (as words,
    // in any case).
    static bool negatesOk(const QByteArray &text);

private:
    QByteArray m_carry;
};

#endif // STATUSWORDCOUNTER_H
