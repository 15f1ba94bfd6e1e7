#include "safetext.h"

QString SafeText::forTerminal(const QString &text)
{
    const auto isControl = [](char16_t c) { return c < 0x20 ? c != '\t' : c >= 0x7F && c <= 0x9F; };
    bool plain = true;
    for (const QChar c : text) {
        if (isControl(c.unicode())) {
            plain = false;
            break;
        }
    }
    if (plain)
        return text;
    QString escaped;
    escaped.reserve(text.size() + 16);
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (!isControl(code))
            escaped += c;
        else if (code == '\n')
            escaped += QLatin1String("\\n");
        else if (code == '\r')
            escaped += QLatin1String("\\r");
        else if (code < 0x80)
            escaped += QStringLiteral("\\x%1").arg(int(code), 2, 16, QLatin1Char('0'));
        else
            escaped += QStringLiteral("\\u%1").arg(int(code), 4, 16, QLatin1Char('0'));
    }
    return escaped;
}

QString SafeText::forCsv(const QString &text)
{
    QString cell = text;
    // What spreadsheets take for the start of a formula (also after a tab
    // or a line end, which some of them skip), and the mark itself, which
    // a spreadsheet would otherwise swallow: stripping one leading ' gives
    // the value back exactly.
    static const QString formulaStarts = QStringLiteral("=+-@\t\r'");
    if (!cell.isEmpty() && formulaStarts.contains(cell.at(0)))
        cell.prepend(QLatin1Char('\''));
    if (!cell.contains(QLatin1Char(',')) && !cell.contains(QLatin1Char('"')) && !cell.contains(QLatin1Char('\n'))
        && !cell.contains(QLatin1Char('\r')))
        return cell;
    cell.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + cell + QLatin1Char('"');
}
