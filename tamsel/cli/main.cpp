#include "tamselcli.h"
#include "filenames.h"
#include "interruptsignal.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    // File names and arguments keep every byte, valid UTF-8 or not.
    FileNames::install();
    InterruptSignal::ignoreOutputFailures();
    QCoreApplication app(argc, argv);
    FileNames::keepArguments(argc, argv);
    TamselCli cli(stdout, stderr);
    return cli.run(FileNames::arguments());
}
