#include "testhistory.h"

QVector<UpdateHistory::Entry> TestHistory::rows()
{
    UpdateHistory history(QStringLiteral("test"), QString(), QString());
    QVector<UpdateHistory::Entry> rows;
    if (!history.read(UpdateHistory::Filter(), &rows))
        qWarning("%s", qPrintable(history.problem()));
    return rows;
}

UpdateHistory::Entry TestHistory::onlyRow()
{
    const QVector<UpdateHistory::Entry> all = rows();
    return all.size() == 1 ? all.first() : UpdateHistory::Entry();
}
