#include "updaterecord.h"

#include "firmwareimage.h"
#include "updateoutcome.h"

#include <QFileInfo>
#include <QSettings>

UpdateRecord::UpdateRecord(const QString &program, const QString &settingsFile)
    : m_history(std::make_unique<UpdateHistory>(program, QStringLiteral(ORDANE_VERSION), settingsFile))
{
}

UpdateRecord::~UpdateRecord()
{
    end(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("the program ended before the update did")),
        m_entry.message);
}

void UpdateRecord::begin(const UpdateHistory::Entry &known)
{
    end(UpdateOutcome(UpdateOutcome::Stopped, QStringLiteral("another update began before this one ended")),
        m_entry.message);
    m_entry = known;
    if (!m_entry.imagePath.isEmpty())
        m_entry.imagePath = QFileInfo(m_entry.imagePath).absoluteFilePath();
    m_open = m_history->begin(&m_entry);
}

void UpdateRecord::begin(const QString &place, const QString &imagePath)
{
    UpdateHistory::Entry known;
    known.place = place;
    known.imagePath = imagePath;
    begin(known);
}

void UpdateRecord::prepare()
{
    m_history->prepare();
}

void UpdateRecord::noteImage(const FirmwareImage &image)
{
    m_entry.imageSize = image.size();
    m_entry.imageSha256 = image.sha256();
}

void UpdateRecord::describe(const FirmwareImage &image)
{
    noteImage(image);
    if (m_open)
        m_history->describe(m_entry);
}

void UpdateRecord::noteBackup(const QString &sha256, qint64 size)
{
    m_entry.backupSha256 = sha256;
    m_entry.backupSize = size;
    if (m_open)
        m_history->describe(m_entry);
}

void UpdateRecord::end(const UpdateOutcome &outcome, const QString &message)
{
    if (!m_open)
        return;
    m_open = false;
    m_entry.outcome = outcome.name();
    m_entry.verified = outcome.verified();
    m_entry.reason = outcome.reason();
    m_entry.message = message;
    m_history->finish(m_entry);
}

QString UpdateRecord::problem() const
{
    return m_history->problem();
}

QString UpdateRecord::problemToSay()
{
    return m_history->problemToSay();
}

QString UpdateRecord::saying(const QString &problem)
{
    return problem.isEmpty() ? problem : problem + QStringLiteral(" The update itself was not affected.");
}

QString UpdateRecord::settingsFile(const QString &application)
{
    return QSettings(QSettings::IniFormat, QSettings::UserScope, QStringLiteral("Ordane"), application).fileName();
}
