#ifndef CSVREADER_H
#define CSVREADER_H

#include <QList>
#include <QStringList>

// CSV as a spreadsheet or a script reads it (RFC 4180), written apart from
// the program's writer to check it against.
class CsvReader
{
public:
    // The records, each a list of fields.
    static QList<QStringList> parse(const QString &csv);
    // Whether a spreadsheet would take `field` for a formula.
    static bool evaluates(const QString &field);
    // What a spreadsheet shows of a field: a leading ' is taken off.
    static QString shownValue(const QString &field);
};

#endif // CSVREADER_H
