#include "localservernudge.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QLocalSocket>

namespace {

const int nudgePause = 200;            // ms

} // namespace

void LocalServerNudge::nudge(const QString &rowText, QObject *owner)
{
    auto *socket = new QLocalSocket(owner);
    socket->abort();
    // The 8 characters after "S/N: " (without it, those from position 4).
    const QString name = rowText.mid(rowText.indexOf(QLatin1String("S/N: ")) + 5, 8);
    qDebug().noquote() << name;
    socket->connectToServer(name, QIODevice::ReadWrite);
    if (socket->error() == QLocalSocket::ServerNotFoundError)
        return;

    QElapsedTimer pause;
    pause.start();
    while (pause.elapsed() < nudgePause)
        QCoreApplication::processEvents();
}
