#ifndef STATUSWORDCOUNTER_H
#define STATUSWORDCOUNTER_H

#include <QByteArray>

// Counts the status words of a device's answers read by read. A word split
// between two reads ("O" then "K", "ERR" then "OR") is seen once, in the
// read that completes it, however the answers are cut: the last bytes of
// each read are carried over to the next.
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

    // "OK" as a word of its own ("OK", "iwr ? OK", "CRC OK", with or without
    // a line end); not inside another word ("OKAY", "NOK").
    static bool hasOkWord(const QByteArray &text);

private:
    QByteArray m_carry;
};

#endif // STATUSWORDCOUNTER_H
