#ifndef EMITTER_H
#define EMITTER_H

#include <QObject>

// Signal hub through which worker code (running on the thread pool) reports
// to widgets. It declares signals only; receivers connect to it with
// automatic connections, which are queued when the emitting thread is not
// the receiver's thread.
class Emitter : public QObject
{
    Q_OBJECT
public:
    explicit Emitter(QObject *parent = nullptr);

signals:
    void load_finish();
    void load_start(int minimum, int maximum);
    void load_progress(int value);
    void stop_for_spinner();
    void start_for_spinner();
    void numbers_changes(int, int);
    void signal_deviceDetouched();
    void errorSignal(QString message);
};

#endif // EMITTER_H
