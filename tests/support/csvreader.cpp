#include "csvreader.h"

QList<QStringList> CsvReader::parse(const QString &csv)
{
    QList<QStringList> records;
    QStringList record;
    QString field;
    bool quoted = false;
    for (int i = 0; i < csv.size(); ++i) {
        const QString next = csv.mid(i + 1, 1);
        if (quoted && csv.at(i) == QLatin1Char('"') && next == QLatin1String("\"")) {
            field += csv.at(i++);
        } else if (csv.at(i) == QLatin1Char('"')) {
            quoted = !quoted;
        } else if (!quoted && (csv.at(i) == QLatin1Char(',') || (csv.at(i) == QLatin1Char('\r') && next == QLatin1String("\n")))) {
            record << field;
            field.clear();
            if (csv.at(i) == QLatin1Char('\r')) {
                records << record;
                record.clear();
                ++i;
            }
        } else {
            field += csv.at(i);
        }
    }
    return records;
}

bool CsvReader::evaluates(const QString &field)
{
    return !field.isEmpty() && QStringLiteral("=+-@\t\r").contains(field.at(0));
}

QString CsvReader::shownValue(const QString &field)
{
    return field.startsWith(QLatin1Char('\'')) ? field.mid(1) : field;
}
