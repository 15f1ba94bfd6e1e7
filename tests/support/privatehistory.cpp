#include "privatehistory.h"

#include <QFile>

PrivateHistory::PrivateHistory()
    : m_previous(qgetenv("XDG_DATA_HOME"))
{
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dir.path()));
}

PrivateHistory::~PrivateHistory()
{
    qputenv("XDG_DATA_HOME", m_previous);
}
