#ifndef PRIVATESETTINGS_H
#define PRIVATESETTINGS_H

#include <QString>
#include <QTemporaryDir>

// Points the user-scope INI settings of this process at a fresh temporary
// folder, so a test never reads or writes the user's real settings.
class PrivateSettings
{
public:
    PrivateSettings();

    bool isValid() const { return m_dir.isValid(); }
    QString path() const { return m_dir.path(); }
    // Where the Vornic window keeps its settings file.
    QString vornicFile() const;
    // Removes every stored settings file (a "first start").
    void clear();

private:
    QTemporaryDir m_dir;
};

#endif // PRIVATESETTINGS_H
