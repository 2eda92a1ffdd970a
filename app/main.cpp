#include "main_form.h"
#include "mscomm.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral(VANTRELO_NAME));
    QApplication::setApplicationVersion(QStringLiteral(VANTRELO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(VANTRELO_NAME));

    // Declared before the window that drives it, so it outlives the window and its destructor
    // releases the port after the last click has been handled.
    MSComm MSComm1;
    main_form window(MSComm1);
    window.show();
    return QApplication::exec();
}
