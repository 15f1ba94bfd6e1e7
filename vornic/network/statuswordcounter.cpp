#include "statuswordcounter.h"

namespace {

const int longestStatusWord = 7;        // "Unknown"

// Occurrences of `word` in `text` that end after its first `old` bytes (the
// carry-over of the previous read, already counted there).
int newOccurrences(const QByteArray &text, int old, const QByteArray &word)
{
    int count = 0;
    for (int at = text.indexOf(word, qMax(0, old - word.size() + 1)); at >= 0;
         at = text.indexOf(word, at + word.size()))
        ++count;
    return count;
}

} // namespace

StatusWordCounter::Result StatusWordCounter::feed(const QByteArray &piece)
{
    const QByteArray text = m_carry + piece;
    const int old = m_carry.size();
    m_carry = text.right(longestStatusWord - 1);
    Result result;
    if (newOccurrences(text, old, "ERROR") > 0 || newOccurrences(text, old, "Unknown") > 0) {
        // Answers come in order: acknowledgements read together with the
        // refusal came before it.
        int firstError = text.indexOf("ERROR", qMax(0, old - 4));
        const int unknown = text.indexOf("Unknown", qMax(0, old - 6));
        if (firstError < 0 || (unknown >= 0 && unknown < firstError))
            firstError = unknown;
        result.refused = true;
        result.acknowledgements = newOccurrences(text.left(firstError), old, "OK");
    } else {
        result.acknowledgements = newOccurrences(text, old, "OK");
    }
    return result;
}

bool StatusWordCounter::hasOkWord(const QByteArray &text)
{
    const auto partOfWord = [&text](int at) {
        if (at < 0 || at >= text.size())
            return false;
        const char c = text.at(at);
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    };
    for (int at = text.indexOf("OK"); at >= 0; at = text.indexOf("OK", at + 1)) {
        if (!partOfWord(at - 1) && !partOfWord(at + 2))
            return true;
    }
    return false;
}
