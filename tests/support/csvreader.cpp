#include "csvreader.h"

QList<QStringList> CsvReader::parse(const QString &csv)
{
    QList<QStringList> records { {} };
    QString field;
    bool quoted = false;
    for (int i = 0; i < csv.size(); ++i) {
        const QChar c = csv.at(i);
        const bool recordEnd = !quoted && c == QLatin1Char('\r') && csv.mid(i + 1, 1) == QLatin1String("\n");
        if (c == QLatin1Char('"') && quoted && csv.mid(i + 1, 1) == QLatin1String("\""))
            field += csv.at(i++);
        else if (c == QLatin1Char('"'))
            quoted = !quoted;
        else if ((!quoted && c == QLatin1Char(',')) || recordEnd) {
            records.last() << field;
            field.clear();
            if (recordEnd && ++i < csv.size() - 1)
                records << QStringList();
        } else
            field += c;
    }
    // (A last record without its line end.)
    if (!csv.endsWith(QLatin1String("\r\n")))
        records.last() << field;
    return csv.isEmpty() ? QList<QStringList>() : records;
}

bool CsvReader::evaluates(const QString &field)
{
    return !field.isEmpty() && QStringLiteral("=+-@\t\r").contains(field.at(0));
}

QString CsvReader::shownValue(const QString &field)
{
    return field.startsWith(QLatin1Char('\'')) ? field.mid(1) : field;
}
