#ifndef LOGBROWSER_H
#define LOGBROWSER_H

#include <QObject>
#include <QString>

class LogBrowserDialog;
class QWidget;

// Carries log messages from any thread to the trace window: outputMessage()
// may be called anywhere; the dialog appends on the GUI thread.
class LogBrowser : public QObject
{
    Q_OBJECT
public:
    explicit LogBrowser(QWidget *mainWindow, QObject *parent = nullptr);
    ~LogBrowser() override;

    LogBrowserDialog *dialog() const { return browserDialog; }

signals:
    void sendMessage(QtMsgType type, QString msg);

public slots:
    void outputMessage(QtMsgType type, QString msg);
    // Shows the trace window when hidden, hides it otherwise.
    void hideBrowser();

private:
    LogBrowserDialog *browserDialog;
};

#endif // LOGBROWSER_H
