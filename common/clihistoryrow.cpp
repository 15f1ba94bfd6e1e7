#include "clihistoryrow.h"

#include "cliconsole.h"
#include "firmwareimage.h"
#include "updateoutcome.h"

#include <QFileInfo>

CliHistoryRow::CliHistoryRow(const QString &program, const QString &settingsFile, const QString &place,
                             const QString &imagePath)
    : m_history(program, QStringLiteral(ORDANE_VERSION), settingsFile)
{
    m_entry.place = place;
    m_entry.imagePath = QFileInfo(imagePath).absoluteFilePath();
    m_history.begin(&m_entry);
}

void CliHistoryRow::describe(const FirmwareImage &image)
{
    m_entry.imageSize = image.size();
    m_entry.imageSha256 = image.sha256();
    m_history.describe(m_entry);
}

void CliHistoryRow::finish(const UpdateOutcome &outcome, const FirmwareImage &image, CliConsole *console)
{
    m_entry.imageSize = image.size();
    m_entry.imageSha256 = image.sha256();
    m_entry.outcome = outcome.name();
    m_entry.verified = outcome.verified();
    m_entry.reason = outcome.reason();
    m_entry.message = console->lastLine();
    m_history.finish(m_entry);
    if (!m_history.problem().isEmpty())
        console->warn(m_history.problem() + QStringLiteral(" The update itself was not affected."));
}
