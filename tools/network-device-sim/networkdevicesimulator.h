#ifndef NETWORKDEVICESIMULATOR_H
#define NETWORKDEVICESIMULATOR_H

#include <QByteArray>
#include <QHostAddress>
#include <QHash>
#include <QObject>
#include <QStringList>

#include <mutex>

class QFile;
class QTcpServer;
class QTcpSocket;

// A network device of the maker as its TCP command service answers: the
// identification ("set", "boot v"), the firmware upload ("iwr I0 ", data
// records in 'I' and 'W' mode, the header record, "iwr ?") and "boot";
// anything else is "Unknown". CR filler between commands is ignored. Faults
// are injected on demand, and a journal records what arrived:
//   connect <c>
//   <c>@<offset> start I0 | record <mode> <address as sent> <bytes>
//              | header size=<n> crc=<hex> flag=<n> | check OK|ERROR
//              | command <text>
//   close <c> <bytes received on the connection>
// where <c> numbers the connections from 1 (lines of two connections may
// interleave) and <offset> counts the bytes received on that connection
// before the command, so that the block of each command is the distance
// to the next.
class NetworkDeviceSimulator : public QObject
{
    Q_OBJECT
public:
    // One misbehaviour at one step of an upload.
    enum class Fault {
        None,
        Close,        // closes the connection instead of answering
        Reset,        // resets the connection (RST) instead of answering
        Silent,       // answers nothing from the step on
        Garbage,      // answers bytes that hold no status word
        Refuse,       // answers "ERROR"
        Hold,         // answers the step (and what follows) only after holdTime
        Unreachable   // answers the step, then accepts no new connection
    };
    static const int holdTime = 1000;       // ms

    struct Options
    {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 10102;               // 0: any free port
        QByteArray serialNumber = "0500A1B2";  // empty: the answer names no serial number
        QByteArray firmwareVersion = "3.2";    // empty: the answer names no version
        QByteArray bootloaderVersion = "1.1";
        int settingsBytes = 0;              // lines of settings answered to "set" before its S/N
        int recordDelay = 0;                // ms before a data record is answered
        int errorAtRecord = 0;              // answer "ERROR" to data record k (from 1)
        int silentFromRecord = 0;           // answer nothing from data record k on
        int closeAtRecord = 0;              // close the connection at data record k
        // Sent on every new connection, as the maker's devices do; empty:
        // no greeting (a device that does not greet).
        QByteArray greeting = "OK\r\n";
        int greetingDelay = 0;              // ms after the connection before the greeting
        int checkDelay = 0;                 // ms before "iwr ?" is answered
        bool refuseReboot = false;          // "boot" is answered "ERROR"
        bool splitReplies = false;          // every answer in two pieces, split in its status word
        bool wrongCrc = false;              // "iwr ?" finds the CRC wrong whatever arrived
        bool doubleAcknowledgements = false;  // every data record is answered "OK" twice
        // How its answers end their lines ("\n" or "\r" alone for devices
        // that do not end them in CR LF).
        QByteArray lineEnd = "\r\n";
        // Non-empty: a whole image's check is answered with exactly this
        // ("iwr ? OK", "CRC OK", without a line end...), not "OK" and a line end.
        QByteArray checkPassed;
        // Non-empty: every data record is answered with exactly this, not
        // "OK" and a line end.
        QByteArray recordAnswer;
        bool closeOnReboot = false;         // "boot" closes the connection unanswered
        bool closeAfterCheck = false;       // "iwr ?" is answered, then the connection closed
        // `fault` at `faultStep`: "start" (iwr I0), "record <k>" (the k-th data
        // record of a connection, from 1), "header" (iwr I1) or "check" (iwr ?).
        Fault fault = Fault::None;
        QByteArray faultStep;
        QString imageFile;                  // the received image is kept here
        QString journalFile;                // the journal is written here too
    };

    explicit NetworkDeviceSimulator(const Options &options, QObject *parent = nullptr);
    ~NetworkDeviceSimulator() override;

    bool listen();
    quint16 serverPort() const;
    QString errorString() const;

    // Safe to call from any thread.
    QStringList journal() const;
    // The image received in the 'I' space (from address 0x40) or the 'W'
    // space (from address 0).
    QByteArray image(char mode) const;
    // The last 'I' image the device found whole at "iwr ?": what it keeps,
    // even after a later "iwr I0 " starts a new one.
    QByteArray checkedImage() const;

private:
    struct Connection
    {
        int id = 0;
        QByteArray buffer;
        qint64 consumed = 0;                // bytes before buffer[0]
        int records = 0;
        bool silent = false;
        bool closing = false;               // closed by a fault: nothing more is read
        // Answers leave in order; a piece may hold back the next one.
        QList<QPair<QByteArray, int>> outbox;
        bool holding = false;
    };
    // Carries out the fault when `step` is the one it is set for; true
    // when the command is then not to be answered normally.
    bool faultAt(QTcpSocket *socket, Connection &connection, const QByteArray &step);

    void accept();
    void readFrom(QTcpSocket *socket);
    void handle(QTcpSocket *socket, Connection &connection, const QByteArray &command, qint64 offset);
    void handleRecord(QTcpSocket *socket, Connection &connection, char mode, quint32 address,
                      const QByteArray &data, const QByteArray &addressText, qint64 offset);
    QByteArray checkAnswer();
    void answer(QTcpSocket *socket, const QByteArray &text, int delay = 0);
    void post(QTcpSocket *socket, const QByteArray &text);
    // Nothing leaves `connection` for `ms`; then `first`, then what waited.
    void holdBack(Connection &connection, QTcpSocket *socket, int ms,
                  const QList<QPair<QByteArray, int>> &first = {});
    // The pieces an answer goes out in, each with the pause after it.
    QList<QPair<QByteArray, int>> piecesOf(const QByteArray &text) const;
    void pump(QTcpSocket *socket);
    void note(const QString &line);
    void saveImage(char mode);

    Options m_options;
    QTcpServer *m_server;
    QHash<QTcpSocket *, Connection> m_connections;
    QFile *m_journalFile = nullptr;
    int m_connectionCount = 0;

    mutable std::mutex m_mutex;             // guards the three below
    QStringList m_journal;
    QByteArray m_imageI;
    QByteArray m_checkedImage;
    QByteArray m_imageW;
    // The header record as received: size, CRC and kind of the 'I' image.
    bool m_headerReceived = false;
    quint32 m_headerSize = 0;
    quint16 m_headerCrc = 0;
};

#endif // NETWORKDEVICESIMULATOR_H
