#ifndef BACKUPREPORT_H
#define BACKUPREPORT_H

#include "updatehistory.h"

#include <QByteArray>
#include <QString>

#include <cstdio>

class BackupStore;
class CliConsole;
class UpdateOutcome;

// The command lines' view of the backup store, with the history that names
// its files: which backup a restore writes back (checked against its name
// before anything is sent), the `backups` listing, and its pruning. The same
// for both programs.
class BackupReport
{
public:
    BackupReport(UpdateHistory *history, BackupStore *store, CliConsole *console, std::FILE *out);

    // The backup to restore: of row `rowId`, or (0) of the newest row of
    // `device` that kept one. False, with *refusal, when there is none, its
    // file is gone or unreadable (ImageRefused), or its bytes are not those
    // its name says (WrongImage).
    bool findBackup(const QString &device, qint64 rowId, UpdateHistory::Entry *row, QByteArray *bytes,
                    UpdateOutcome *refusal);
    // Lists every backup file with its size, when it was stored and the
    // rows that name it; with `pruneDays` >= 0 first removes the files no
    // row of the last `pruneDays` days names. The exit code.
    int run(int pruneDays);

    // [backups] max_mb of `settingsFile`: the size past which the store is
    // said to be too large.
    static int maxMegabytes(const QString &settingsFile);
    // What to tell a user after a backup when the store has grown past
    // that bound; empty while it is within.
    static QString storeTooLarge(const QString &settingsFile);

private:
    UpdateHistory *m_history;
    BackupStore *m_store;
    CliConsole *m_console;
    std::FILE *m_out;
};

#endif // BACKUPREPORT_H
