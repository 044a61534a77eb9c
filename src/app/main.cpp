#include "fontsubstitutes.h"
#include "mainFrm.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // The application name doubles as the caption of every message box.
    QApplication::setApplicationName(QStringLiteral("Varnok"));
    QApplication::setApplicationVersion(QStringLiteral("1.00"));
    QApplication::setOrganizationName(QStringLiteral("Brindlemoor"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/varnok/varnok.ico")));
    varnok::installFontSubstitutes();

    varnok::mainFrm window;
    window.show();
    return QApplication::exec();
}
