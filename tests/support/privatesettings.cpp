#include "privatesettings.h"

#include <QDir>
#include <QSettings>

PrivateSettings::PrivateSettings()
{
    // Also move XDG_CONFIG_HOME, in case anything asks for the user's config
    // folder on its own.
    qputenv("XDG_CONFIG_HOME", m_dir.path().toLocal8Bit());
    // And the update history, which lives in the data folder.
    qputenv("XDG_DATA_HOME", (m_dir.path() + QStringLiteral("/data")).toLocal8Bit());
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_dir.path());
}

QString PrivateSettings::vornicFile() const
{
    return m_dir.path() + QStringLiteral("/Ordane/Vornic.ini");
}

void PrivateSettings::clear()
{
    QDir(m_dir.path() + QStringLiteral("/Ordane")).removeRecursively();
}
