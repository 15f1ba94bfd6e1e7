#ifndef TRACESPOOL_H
#define TRACESPOOL_H

#include <QObject>
#include <QString>

class QIODevice;
class QTemporaryFile;

// Every line of a trace since it was last cleared, kept on disk (in the
// user's cache folder) rather than in memory: a trace window shows only its
// newest lines, but what a user saves for support is the whole run. The
// spool is bounded: past `bound` bytes the oldest half gives way, and what
// is saved then says how many early lines were dropped. Without a writable
// cache folder it keeps nothing (isActive() is false).
class TraceSpool : public QObject
{
    Q_OBJECT
public:
    // Far more than one run traces (a pad update of the largest image
    // traces about 16 MB).
    static const qint64 defaultBound = qint64(128) << 20;

    explicit TraceSpool(qint64 bound = defaultBound, QObject *parent = nullptr);
    ~TraceSpool() override;

    bool isActive() const { return m_active; }
    void append(const QString &line);
    // Lines given way to since the last clear.
    qint64 droppedLines() const { return m_dropped; }
    // The lines since the last clear, one per line without a line end after
    // the last, after a note of the lines dropped if any were.
    bool writeTo(QIODevice *out);

public slots:
    void clear();

private:
    bool copy(QTemporaryFile *from, QIODevice *out, bool holdsTheLastLine);

    qint64 m_bound;
    QTemporaryFile *m_files[2] = { nullptr, nullptr };
    qint64 m_lines[2] = { 0, 0 };
    int m_current = 0;                  // the file appended to; the other holds the older lines
    qint64 m_dropped = 0;
    bool m_active = false;
};

#endif // TRACESPOOL_H
