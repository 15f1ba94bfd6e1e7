#ifndef PRIVATEHISTORY_H
#define PRIVATEHISTORY_H

#include <QByteArray>
#include <QTemporaryDir>

// Points the update history of this process, and of the programs it starts,
// at a fresh temporary data folder for as long as it lives
// (XDG_DATA_HOME), so that a test reads back its own rows alone.
class PrivateHistory
{
public:
    PrivateHistory();
    ~PrivateHistory();
    PrivateHistory(const PrivateHistory &) = delete;
    PrivateHistory &operator=(const PrivateHistory &) = delete;

    bool isValid() const { return m_dir.isValid(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_previous;
};

#endif // PRIVATEHISTORY_H
