#include "logbrowser.h"

#include "logbrowserdialog.h"

#include <QMetaType>

LogBrowser::LogBrowser(QWidget *mainWindow, QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<QtMsgType>("QtMsgType");
    browserDialog = new LogBrowserDialog(mainWindow);
    connect(this, &LogBrowser::sendMessage, browserDialog, &LogBrowserDialog::outputMessage,
            Qt::QueuedConnection);
}

LogBrowser::~LogBrowser()
{
    delete browserDialog;
}

void LogBrowser::outputMessage(QtMsgType type, QString msg)
{
    emit sendMessage(type, msg);
}

void LogBrowser::hideBrowser()
{
    browserDialog->setVisible(browserDialog->isHidden());
}
