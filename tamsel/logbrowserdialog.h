#ifndef LOGBROWSERDIALOG_H
#define LOGBROWSERDIALOG_H

#include <QDialog>

class QPushButton;
class QTextBrowser;
class TraceSpool;

// The "Trace" window: a read-only view of the program's log lines with
// "Clear" and "Save Trace". It has no parent; it takes the main window's
// style sheet.
class LogBrowserDialog : public QDialog
{
    Q_OBJECT
public:
    explicit LogBrowserDialog(QWidget *mainWindow, QWidget *parent = nullptr);

public slots:
    // Appends one line, marked by its type; types above 4 are dropped.
    void outputMessage(QtMsgType type, QString msg);

protected slots:
    void save();
    void keyCtrlDPressed();

private:
    friend class TraceWindowTest;
    // Writes every line since "Clear" to `path`; false when it cannot be
    // opened for writing.
    bool saveTo(const QString &path);

    QTextBrowser *browser;
    QPushButton *clearButton;
    QPushButton *saveButton;
    TraceSpool *spool;
};

#endif // LOGBROWSERDIALOG_H
