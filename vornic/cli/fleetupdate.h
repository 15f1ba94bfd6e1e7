#ifndef FLEETUPDATE_H
#define FLEETUPDATE_H

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdio>

class QProcess;

// Several devices updated with one image at once, as a production station
// does: each device by its own vornic-cli process (`update DEVICE IMAGE
// --json`), so that each has its own USB job, network connection or wait
// for its return, and one device's failure can neither stop nor corrupt
// another's update. Shows one progress line per device (redrawn in place on
// a terminal), then one result line per device (a failure's on the error
// stream); with `json` also the results as a JSON array on the output
// stream, everything else going to the error stream.
class FleetUpdate : public QObject
{
    Q_OBJECT
public:
    FleetUpdate(std::FILE *out, std::FILE *err, QObject *parent = nullptr);

    // `childOptions` go to every device's process (--force, --verify, ...);
    // each reads `image`, the bytes of `imagePath`, from its standard input.
    // The exit code: 0 when every device was updated; else the code the
    // failed devices share, or 1 when they differ.
    //
    // The devices named in `identifying` (network devices) say who they are
    // first: no process gets the image before each of them has, and when
    // two of them are one device (one serial number under two addresses)
    // none gets it. run() then returns -1 and refusal() says why.
    int run(const QString &program, const QStringList &devices, const QStringList &identifying,
            const QString &imagePath, const QByteArray &image, const QStringList &childOptions, bool json);
    QString refusal() const { return m_refusal; }

private:
    struct Job
    {
        QString device;
        QProcess *process = nullptr;
        QByteArray output;              // the child's JSON result
        QByteArray pending;             // an unfinished line of its error stream
        QString state;                  // what it does now, or its last line
        int percent = -1;
        int code = -1;
        bool finished = false;
        bool resultTooLong = false;     // its output was more than a result; dropped
        bool identifies = false;        // says who its device is before it gets the image
        bool identified = false;        // has said (or ended without saying)
        QString serialNumber;
        // In a log: its latest line, passed on only once the next comes
        // (the last one is its result, said once at the end).
        QString held;
    };

    void readResult(Job &job);
    void readProgress(Job &job);
    void show();
    // Once every identifying job has said who its device is: the image to
    // every process, or (one device under two names) to none.
    void handOutImage();
    QJsonObject resultOf(const Job &job) const;

    std::FILE *m_out;
    std::FILE *m_err;
    std::FILE *m_display;               // where progress and result lines go
    bool m_interactive = false;
    int m_linesDrawn = 0;
    QVector<Job> m_jobs;
    QByteArray m_image;
    bool m_imageHandedOut = false;
    QString m_refusal;
};

#endif // FLEETUPDATE_H
