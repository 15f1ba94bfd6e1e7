#include "tracespool.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

TraceSpool::TraceSpool(qint64 bound, QObject *parent)
    : QObject(parent)
    , m_bound(bound)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation)
        + QStringLiteral("/Ordane");
    // The trace may hold serial numbers and addresses: a folder made here
    // is the user's alone. One that was there (perhaps shared on purpose,
    // or reached through a link) keeps its mode; the trace files themselves
    // are made for the user alone either way.
    const bool made = !QFileInfo::exists(folder);
    if (!QDir().mkpath(folder))
        return;
    if (made)
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_active = true;
    for (QTemporaryFile *&file : m_files) {
        file = new QTemporaryFile(folder + QStringLiteral("/trace-XXXXXX.txt"), this);
        m_active = m_active && file->open();
    }
}

TraceSpool::~TraceSpool() = default;

void TraceSpool::append(const QString &line)
{
    if (!m_active)
        return;
    QTemporaryFile *file = m_files[m_current];
    file->write(line.toUtf8() + '\n');
    ++m_lines[m_current];
    // Half the bound in each file: once the newer is full, the older goes.
    if (file->size() >= m_bound / 2) {
        const int older = 1 - m_current;
        m_dropped += m_lines[older];
        m_files[older]->resize(0);
        m_files[older]->seek(0);
        m_lines[older] = 0;
        m_current = older;
    }
}

void TraceSpool::clear()
{
    if (!m_active)
        return;
    for (int i = 0; i < 2; ++i) {
        m_files[i]->resize(0);
        m_files[i]->seek(0);
        m_lines[i] = 0;
    }
    m_current = 0;
    m_dropped = 0;
}

bool TraceSpool::writeTo(QIODevice *out)
{
    if (!m_active)
        return false;
    if (m_dropped > 0) {
        const QByteArray note = QStringLiteral("[%1 earlier lines were dropped: the trace keeps the last %2 MB]\n")
                                    .arg(m_dropped)
                                    .arg(m_bound >> 20)
                                    .toUtf8();
        if (out->write(note) != note.size())
            return false;
    }
    // As the view's text: no line end after the last line.
    for (QTemporaryFile *file : m_files)
        file->flush();
    const bool newerEmpty = m_files[m_current]->size() == 0;
    return copy(m_files[1 - m_current], out, newerEmpty) && copy(m_files[m_current], out, !newerEmpty);
}

bool TraceSpool::copy(QTemporaryFile *from, QIODevice *out, bool holdsTheLastLine)
{
    QFile reader(from->fileName());
    if (!reader.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = reader.size();
    qint64 left = holdsTheLastLine && size > 0 ? size - 1 : size;
    char buffer[65536];
    while (left > 0) {
        const qint64 got = reader.read(buffer, qMin<qint64>(left, sizeof buffer));
        if (got <= 0 || out->write(buffer, got) != got)
            return false;
        left -= got;
    }
    return true;
}
