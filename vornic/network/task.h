#ifndef TASK_H
#define TASK_H

#include <QAbstractSocket>
#include <QByteArray>
#include <QEventLoop>
#include <QObject>
#include <QRunnable>
#include <QString>

class QTcpSocket;
class QTimer;

// One conversation with a network device over TCP. The device speaks a
// line protocol: a command ends in CR LF, and its answer holds one of the
// status words "OK", "ERROR" or "Unknown". A task turns "send, then wait for
// the answer" into one step that keeps the window responsive: every wait is
// a nested run of the task's own event loop on the GUI thread, ended by
// idleFinished() (status word, lost connection) or by the reply timer.
//
// Subclasses override the socket's and timer's slots; those versions
// receive the signals.
class Task : public QObject, public QRunnable
{
    Q_OBJECT
public:
    // How long the answer to one request may take, from the request.
    static const int replyTimeout = 5000;   // ms
    // The most of one answer that is kept; a longer one is no answer.
    static const int maxAnswer = 4096;      // bytes
    // The most of a device's identification (its settings) that is read.
    static const int maxIdentity = 65536;   // bytes
    // The most of one read written to the log.
    static const int maxLoggedPiece = 200;  // bytes
    // A greeting is over once the device has been quiet this long: one
    // that comes in pieces is read whole.
    static const int greetingQuiet = 150;   // ms

    // What came of the wait for the device's greeting on a new connection.
    enum class Greeting {
        Heard,          // it greeted, and fell quiet
        Silent,         // nothing within the reply time
        Endless,        // it greeted, and did not fall quiet within the reply time
        Lost,           // the connection closed
        Interrupted     // the wait was ended from outside (a stop)
    };

    explicit Task(QObject *parent = nullptr);

    // A fresh socket and reply timer, both children of the task, wired to
    // this task's slots.
    void setupSocket();

    QByteArray replyText() const { return reply; }

signals:
    void taskError(QString);
    void errorResponse();
    void taskFinished(int);
    void idleFinished();
    void recieved(QByteArray);
    void uploadStart(int, int);
    void uploadProgress(int);
    void uploadChecking(QString);

public slots:
    bool doConnect();
    virtual void displayError(QAbstractSocket::SocketError socketError);
    bool writeData(QByteArray data, int imageSize);
    virtual void connected();
    virtual void disconnected();
    virtual void bytesWritten(qint64 bytes);
    virtual void mainProcess();
    virtual void handlingTimeout();
    void disconnectSocket();
    void sendCommand(QString command);
    virtual void stop() = 0;

protected:
    // The log line of displayError(); empty for a connection the device
    // closed, which is no error of its own.
    static QString socketErrorText(QAbstractSocket::SocketError socketError, const QString &errorString);
    // Runs one wait: ends on idleFinished() or the timer.
    void wait(QEventLoop::ProcessEventsFlags flags = QEventLoop::AllEvents);
    // One run of the task's event loop. False when the loop would not run
    // because the application is quitting: a nested loop started then
    // returns at once, and a caller that waited in a loop of its own would
    // spin for ever without a single event. quitting() then stays true.
    bool runLoop(QEventLoop::ProcessEventsFlags flags);
    // The maker's devices greet on every new connection, at their own pace.
    // Waits for the greeting's first bytes (up to the reply time), then until
    // the device is quiet, and throws the greeting away: whatever the device
    // says before the first command is never an answer to it.
    Greeting awaitGreeting(QEventLoop::ProcessEventsFlags flags);
    // True once the task was told to stop: a wait that ends then is not
    // begun again.
    virtual bool halted() const { return false; }
    bool quitting() const { return m_quitting; }

    QObject *owner = nullptr;
    QString host;
    int port = 0;
    QTcpSocket *socket = nullptr;
    QEventLoop eventLoop;
    QTimer *timer = nullptr;
    QByteArray reply;
    // mainProcess() keeps at most this much of an answer; past it the
    // answer is dropped and `overflowed` set.
    int answerLimit = maxAnswer;
    bool overflowed = false;

private:
    // The socket and timer reach this task's slots (from setupSocket() to
    // disconnectSocket()); a wait without them could never end.
    bool wired = false;
    bool m_quitting = false;
};

#endif // TASK_H
