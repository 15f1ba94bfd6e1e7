#include "tamselcli.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TamselCli cli(stdout, stderr);
    return cli.run(QCoreApplication::arguments());
}
