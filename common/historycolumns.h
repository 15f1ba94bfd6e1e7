#ifndef HISTORYCOLUMNS_H
#define HISTORYCOLUMNS_H

#include "updatehistory.h"

#include <QString>
#include <QVector>

// The columns of the update history, once, for every view of it: the CSV
// and JSON of `history` (every column, by key, in this order), its text
// table, and the History window.
class HistoryColumns
{
public:
    struct Column
    {
        const char *key;            // the JSON key and the CSV header
        const char *title;          // the History window's header
        int windowOrder;            // its place among the window's columns; -1: not there
        int terminalOrder;          // its place in the text table; -1: not there
        int terminalWidth;          // its width there; 0: unpadded
        // The value as CSV and JSON carry it (times in UTC, ISO 8601).
        QString (*value)(const UpdateHistory::Entry &row);
        // As a person reads it (times local); nullptr: as value.
        QString (*shown)(const UpdateHistory::Entry &row);
    };

    static const QVector<Column> &all();
    // The indexes into all() of the window's columns, in the window's order.
    static QVector<int> windowColumns();
    // The indexes into all() of the text table's columns, in its order.
    static QVector<int> terminalColumns();
    // all()[column] of `row` as a person reads it.
    static QString shown(int column, const UpdateHistory::Entry &row);
    // The index of `key` in all(); -1 when there is none.
    static int indexOf(const char *key);

private:
    static QVector<int> ordered(int Column::*order);
};

#endif // HISTORYCOLUMNS_H
