#ifndef SAFETEXT_H
#define SAFETEXT_H

#include <QString>

// Text that came from a device or a file (a serial number, an
// identification answer, a file name) is data wherever it is shown: on a
// terminal it must not move the cursor, change colours or start a line of
// its own, and in a spreadsheet it must not become a formula.
class SafeText
{
public:
    // For plain text output: every control character (C0 but the tab, DEL
    // and C1) written as an escape (\n, \r, \x1b, \u0085), so that one
    // value is one line and nothing in it reaches the terminal as a command.
    static QString forTerminal(const QString &text);
    // One CSV cell (RFC 4180 quoting): a value that a spreadsheet would
    // evaluate (it begins with =, +, -, @, a tab or a carriage return) is
    // given a leading ' so that it is shown as the text it is (and so is a
    // value that begins with ' itself).
    static QString forCsv(const QString &text);
};

#endif // SAFETEXT_H
