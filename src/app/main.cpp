#include "exitsignals.h"
#include "fontsubstitutes.h"
#include "mainFrm.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    // Message boxes take their caption from the display name, which falls back to this name.
    // No display name of its own: the platform would append it to every window title.
    QApplication::setApplicationName(QStringLiteral("Varnok"));
    QApplication::setApplicationVersion(QStringLiteral(VARNOK_VERSION));
    QApplication::setOrganizationName(QStringLiteral("Brindlemoor"));
    // Lets the desktop match the window to its launcher entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brindlemoor.Varnok"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/varnok/varnok.ico")));
    varnok::installFontSubstitutes();

    // Before the window: a logout during a run must find the staged file's clean-up in place.
    const varnok::ExitSignals exitSignals;
    varnok::mainFrm window;
    window.show();
    return QApplication::exec();
}
