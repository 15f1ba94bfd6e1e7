#include "cmndialog.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    CMNDialog window;
    window.show();
    return app.exec();
}
