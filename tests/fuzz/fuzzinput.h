#ifndef FUZZINPUT_H
#define FUZZINPUT_H

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Reads a fuzzer's input from the front: numbers, then pieces of bytes. What
// runs out reads as zeros and empty pieces.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {
    }

    uint8_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    uint16_t word() { return uint16_t(byte() | byte() << 8); }
    // Up to the next `separator` (dropped), or the rest.
    QByteArray field(char separator)
    {
        const size_t start = m_at;
        while (m_at < m_size && m_data[m_at] != uint8_t(separator))
            ++m_at;
        const QByteArray piece(reinterpret_cast<const char *>(m_data + start), int(m_at - start));
        if (m_at < m_size)
            ++m_at;
        return piece;
    }
    QByteArray bytes(size_t count)
    {
        const size_t take = count < m_size - m_at ? count : m_size - m_at;
        const QByteArray piece(reinterpret_cast<const char *>(m_data + m_at), int(take));
        m_at += take;
        return piece;
    }
    QByteArray rest() { return bytes(m_size - m_at); }
    bool atEnd() const { return m_at >= m_size; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_at = 0;
};

// A broken promise of the code under test: reported, then the fuzzer stops
// with the input that broke it.
#define FUZZ_ASSERT(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: does not hold: %s\n", __FILE__, __LINE__, #condition);  \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

#endif // FUZZINPUT_H
