#include "statuswordcounter.h"

namespace {

const int longestStatusWord = 7;        // "Unknown"

bool isLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool letterAt(const QByteArray &text, int at)
{
    return at >= 0 && at < text.size() && isLetter(text.at(at));
}

// Status words `word` in `text` that end after its first `old` bytes (the
// carry-over of the previous read, already counted there), before `end`.
int newOccurrences(const QByteArray &text, int old, const char *word, int end)
{
    const int length = int(qstrlen(word));
    int count = 0;
    for (int at = StatusWordCounter::findWord(text, word, qMax(0, old - length + 1)); at >= 0 && at + length <= end;
         at = StatusWordCounter::findWord(text, word, at + length))
        ++count;
    return count;
}

// The first of `text`'s letter words, in upper case, that ends before `end`
// when read backwards from there, past anything that is no letter or digit.
QByteArray wordBefore(const QByteArray &text, int end)
{
    int at = end;
    while (at > 0 && !isLetter(text.at(at - 1)) && !(text.at(at - 1) >= '0' && text.at(at - 1) <= '9'))
        --at;
    const int wordEnd = at;
    while (at > 0 && isLetter(text.at(at - 1)))
        --at;
    return text.mid(at, wordEnd - at).toUpper();
}

} // namespace

int StatusWordCounter::findWord(const QByteArray &text, const char *word, int from)
{
    const int length = int(qstrlen(word));
    for (int at = text.indexOf(word, from); at >= 0; at = text.indexOf(word, at + 1)) {
        if (!letterAt(text, at - 1) && !letterAt(text, at + length))
            return at;
    }
    return -1;
}

bool StatusWordCounter::hasRefusal(const QByteArray &text)
{
    return findWord(text, "ERROR") >= 0 || findWord(text, "Unknown") >= 0;
}

bool StatusWordCounter::negatesOk(const QByteArray &text)
{
    for (int at = findWord(text, "OK"); at >= 0; at = findWord(text, "OK", at + 2)) {
        const QByteArray before = wordBefore(text, at);
        if (before == "NOT" || before == "NO")
            return true;
    }
    const QByteArray upper = text.toUpper();
    for (const char *word : { "FAIL", "FAILED", "BAD" }) {
        if (findWord(upper, word) >= 0)
            return true;
    }
    return false;
}

StatusWordCounter::Result StatusWordCounter::feed(const QByteArray &piece)
{
    const QByteArray text = m_carry + piece;
    const int old = m_carry.size();
    // Enough to see the letter before the longest word.
    m_carry = text.right(longestStatusWord);
    Result result;
    int firstRefusal = -1;
    for (const char *word : { "ERROR", "Unknown" }) {
        const int length = int(qstrlen(word));
        const int at = findWord(text, word, qMax(0, old - length + 1));
        if (at >= 0 && (firstRefusal < 0 || at < firstRefusal))
            firstRefusal = at;
    }
    // Answers come in order: acknowledgements read together with the
    // refusal came before it.
    result.refused = firstRefusal >= 0;
    result.acknowledgements = newOccurrences(text, old, "OK", result.refused ? firstRefusal : text.size());
    return result;
}
