#ifndef TESTHISTORY_H
#define TESTHISTORY_H

#include "updatehistory.h"

// The update history as a test reads it back: the private one its
// settings point the data folder at.
class TestHistory
{
public:
    // Every row, newest first; none when the history cannot be read.
    static QVector<UpdateHistory::Entry> rows();
    // The one row the history holds; an empty entry (id -1) when it holds
    // none or more than one.
    static UpdateHistory::Entry onlyRow();
};

#endif // TESTHISTORY_H
