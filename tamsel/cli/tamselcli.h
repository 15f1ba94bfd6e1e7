#ifndef TAMSELCLI_H
#define TAMSELCLI_H

#include "firmwareimage.h"
#include "padupdate.h"

#include <QObject>

#include <atomic>
#include <QStringList>

#include <cstdio>

class CliConsole;
class UpdateOutcome;
class CliProgress;
class Emitter;

// tamsel-cli: the pad's update from the command line, through the same
// transfers as the window and on the same adapter backends. Every failure
// ends in one sentence on the error stream and an exit code of its class
// (see exitcode.h).
class TamselCli : public QObject
{
    Q_OBJECT
public:
    TamselCli(std::FILE *out, std::FILE *err, QObject *parent = nullptr);

    // `arguments` as main() has them, the program name first.
    int run(const QStringList &arguments);

    static QString helpText();

private:
    // One update with its history row; the exit code.
    int runUpdate(const PadUpdate::Job &job);
    UpdateOutcome update(PadUpdate *padUpdate, const PadUpdate::Job &job);
    // Writes back the backup of row `rowId` (0: of the newest row of the
    // pad at `slaveAddress`, -1: at 0x50, that has one), verified.
    int restore(bool infrared, int slaveAddress, qint64 rowId);
    // Reads the pad's image by Modbus into `filePath` (whole, or not at all).
    int read(bool infrared, int slaveAddress, const QString &filePath);
    // Opens the adapter into `handle`; false (and *refusal said) when there
    // is none, or it cannot be used.
    bool openAdapter(std::atomic<sub_handle> *handle, UpdateOutcome *refusal);
    int fail(int code, const QString &sentence);
    // Says the outcome's reason; returns it.
    UpdateOutcome failed(const UpdateOutcome &outcome);

    std::FILE *m_out;
    CliConsole *m_console;
    CliProgress *m_progress;
    Emitter *m_emitter;
    bool m_verify = false;
    QString m_expectedSha256;           // --sha256: the image that is meant
    // The image, read once at the start of the update.
    FirmwareImage m_image;
};

#endif // TAMSELCLI_H
