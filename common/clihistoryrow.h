#ifndef CLIHISTORYROW_H
#define CLIHISTORYROW_H

#include "updatehistory.h"

class CliConsole;
class FirmwareImage;
class UpdateOutcome;

// The history row of one update by a command-line tool: added when the
// update starts, completed with its outcome when it ends. A history that
// cannot be written is said once on the error stream; the update's outcome
// stands whatever the history did.
class CliHistoryRow
{
public:
    CliHistoryRow(const QString &program, const QString &settingsFile, const QString &place,
                  const QString &imagePath);

    // What the update learns on its way (road, model, serial number, the
    // place where the device sits) goes in here.
    UpdateHistory::Entry &entry() { return m_entry; }
    // Once the device is known and the image read, before anything is
    // written: the row names them even if the process dies.
    void describe(const FirmwareImage &image);
    void finish(const UpdateOutcome &outcome, const FirmwareImage &image, CliConsole *console);

private:
    UpdateHistory m_history;
    UpdateHistory::Entry m_entry;
};

#endif // CLIHISTORYROW_H
