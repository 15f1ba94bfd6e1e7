#include "vorniccli.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Ordane"));
    QCoreApplication::setApplicationName(QStringLiteral("vornic-cli"));
    VornicCli cli(stdout, stderr);
    return cli.run(QCoreApplication::arguments());
}
