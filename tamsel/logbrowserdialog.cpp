#include "logbrowserdialog.h"

#include "tracelines.h"
#include "tracespool.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextStream>
#include <QVBoxLayout>

LogBrowserDialog::LogBrowserDialog(QWidget *mainWindow, QWidget *parent)
    : QDialog(parent)
    , browser(new QTextBrowser(this))
    , clearButton(new QPushButton(tr("Clear"), this))
    , saveButton(new QPushButton(tr("Save Trace"), this))
    , spool(new TraceSpool(TraceSpool::defaultBound, this))
{
    setWindowTitle(tr("Trace"));
    // A trace is never edited: an undo history would keep every line
    // ever shown, and every line trimmed away, for the life of the program.
    browser->document()->setUndoRedoEnabled(false);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(browser);
    auto *buttons = new QHBoxLayout;
    buttons->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(buttons);
    setWindowFlags(Qt::Tool);
    buttons->addStretch(10);
    clearButton->setProperty("configButton", true);
    saveButton->setProperty("configButton", true);
    buttons->addWidget(clearButton);
    buttons->addWidget(saveButton);
    connect(clearButton, &QPushButton::clicked, browser, &QTextEdit::clear);
    connect(clearButton, &QPushButton::clicked, spool, &TraceSpool::clear);
    connect(saveButton, &QPushButton::clicked, this, &LogBrowserDialog::save);
    if (mainWindow)
        setStyleSheet(mainWindow->styleSheet());
    setGeometry(300, 300, 300, 300);
}

void LogBrowserDialog::outputMessage(QtMsgType type, QString msg)
{
    QString line;
    switch (type) {
    case QtDebugMsg:
    case QtInfoMsg:
        line = msg;
        break;
    case QtWarningMsg:
        line = tr("\u2014 WARNING: %1").arg(msg);
        break;
    case QtCriticalMsg:
        line = tr("\u2014 CRITICAL: %1").arg(msg);
        break;
    case QtFatalMsg:
        line = tr("\u2014 FATAL: %1").arg(msg);
        break;
    default:
        return;
    }
    browser->append(line);
    // The view keeps the newest lines; the spool every line since "Clear",
    // for "Save Trace".
    spool->append(line);
    QTextDocument *document = browser->document();
    if (document->blockCount() > TraceLineLimit) {
        QTextCursor oldest(document);
        oldest.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor,
                            document->blockCount() - (TraceLineLimit - TraceTrimLines));
        oldest.removeSelectedText();
    }
}

void LogBrowserDialog::save()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Save Log Output"),
                                                      tr("%1/logfile.txt").arg(QDir::homePath()),
                                                      tr("Text Files (*.txt);;All Files (*)"));
    if (path.isEmpty())
        return;
    if (!saveTo(path)) {
        QMessageBox::warning(this, tr("Error"),
                             tr("<nobr>File '%1'<br/>cannot be opened for writing.<br/><br/>The log output could "
                                "<b>not</b> be saved!</nobr>")
                                 .arg(path.toHtmlEscaped()),
                             QMessageBox::Ok);
        return;
    }
}

bool LogBrowserDialog::saveTo(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    // Every line since "Clear" from the spool; the view's lines where there
    // is no spool (no cache folder to keep it in).
    if (spool->isActive() && spool->writeTo(&file))
        return true;
    file.resize(0);
    QTextStream stream(&file);
    stream << browser->toPlainText();
    return true;
}

void LogBrowserDialog::keyCtrlDPressed()
{
    setVisible(isHidden());
}
