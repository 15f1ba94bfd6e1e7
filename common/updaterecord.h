#ifndef UPDATERECORD_H
#define UPDATERECORD_H

#include "updatehistory.h"

#include <memory>

class FirmwareImage;
class UpdateOutcome;

// The history row of one update: begun with the device's place and the
// image before anything is written, described as the update learns its
// device and reads its image, and ended with the update's outcome. The one
// writer of rows, for both programs' windows and command lines. A row
// begun and never ended says "stopped" once its record is destroyed (its
// program ended the update without saying how); only a process that dies
// leaves "interrupted" behind. A history that cannot be written never
// stops the update: problem() says why.
class UpdateRecord
{
public:
    // `program` names the rows; `settingsFile` may name a server
    // ([history] url=...).
    UpdateRecord(const QString &program, const QString &settingsFile);
    ~UpdateRecord();
    UpdateRecord(const UpdateRecord &) = delete;
    UpdateRecord &operator=(const UpdateRecord &) = delete;

    // Begins a new row with what is known of the update so far (road,
    // model, serial number, place, image path) (a row still open is ended
    // "stopped" first).
    void begin(const UpdateHistory::Entry &known);
    void begin(const QString &place, const QString &imagePath);
    // What the update learns on its way (road, model, serial number, place)
    // goes in here; describe() or end() writes it.
    UpdateHistory::Entry &entry() { return m_entry; }
    // Once the device is known and the image read, before anything is
    // written: the row names them even if the process dies.
    void describe(const FirmwareImage &image);
    // The image's size and SHA-256 into the row, written with the rest.
    void noteImage(const FirmwareImage &image);
    // The device's previous firmware, kept in the backup store before
    // anything was written: named in the row at once.
    void noteBackup(const QString &sha256, qint64 size);
    // Ends the row with what the update came to; `message` is the last
    // thing the user was told. Nothing when no row is open.
    void end(const UpdateOutcome &outcome, const QString &message);
    // A row was begun and not yet ended.
    bool isOpen() const { return m_open; }
    // Opens the history before any row is begun, for a process that has
    // time to spare now and none once its update may go ahead. A history
    // that cannot be opened is tried again, and named, at begin().
    void prepare();

    // Why the history could not be written; empty when all went well.
    QString problem() const;
    // For a program that writes many updates (a window): problem() the
    // first time, and again only once the history has worked in between.
    QString problemToSay();
    // `problem` as a user is told it: the update stands whatever the history
    // did. Empty for none.
    static QString saying(const QString &problem);

    // The settings file of Ordane's `application` ("Vornic", "Tamsel"),
    // shared by its window and its command line.
    static QString settingsFile(const QString &application);

private:
    std::unique_ptr<UpdateHistory> m_history;
    UpdateHistory::Entry m_entry;
    bool m_open = false;
};

#endif // UPDATERECORD_H
