#ifndef CSVREADER_H
#define CSVREADER_H

#include <QList>
#include <QStringList>

// CSV as a spreadsheet or a script reads it (RFC 4180: CR LF between
// records, fields in double quotes may hold commas, quotes doubled and line
// ends), written apart from the program's writer to check it against.
class CsvReader
{
public:
    // The records, each a list of fields; text after the last CR LF, if
    // any, is a last record.
    static QList<QStringList> parse(const QString &csv);
    // The value a spreadsheet shows for a field written to be shown as
    // text: one leading ' taken off.
    static QString shownValue(const QString &field);
};

#endif // CSVREADER_H
