#include "exitsignals.h"
#include "fontsubstitutes.h"
#include "mainFrm.h"
#include "pathtoopen.h"
#include "undumpable.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // First of all, before a password can be typed.
    if (const int error = varnok::makeUndumpable())
        std::fprintf(stderr, "varnok: could not protect the process's memory: %s\n",
                     std::strerror(error));
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

    // One path, from a file manager's "Open With", Explorer's menu, a drop on the program or a
    // shell. Several (a drop of many files) open the first, as a drop on the window does.
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Encrypts and decrypts files with a password."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE|FOLDER"),
                                 QStringLiteral("A file to choose in the window, or a folder to "
                                                "open it at (by default the current folder)."),
                                 QStringLiteral("[FILE|FOLDER]"));
    parser.process(varnok::programArguments(argc, argv));
    const QStringList paths = parser.positionalArguments();

    // Before the window: a logout during a run must find the staged file's clean-up in place.
    const varnok::ExitSignals exitSignals;
    varnok::mainFrm window;
    if (!paths.isEmpty())
        window.openGivenPath(paths.first());
    window.show();
    return QApplication::exec();
}
