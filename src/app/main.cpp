#include "exitsignals.h"
#include "fontsubstitutes.h"
#include "mainFrm.h"
#include "pathtoopen.h"
#include "undumpable.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

void nameTheApplication()
{
    // Message boxes take their caption from the display name, which falls back to this name.
    // No display name of its own: the platform would append it to every window title.
    QCoreApplication::setApplicationName(QStringLiteral("Varnok"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNOK_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Brindlemoor"));
}

// One path, from a file manager's "Open With", Explorer's menu, a drop on the program or a
// shell. Several (a drop of many files) open the first, as a drop on the window does.
void describeArguments(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Encrypts and decrypts files with a password."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("FILE|FOLDER"),
                                 QStringLiteral("A file to choose in the window, or a folder to "
                                                "open it at (by default the current folder)."),
                                 QStringLiteral("[FILE|FOLDER]"));
}

// Whether the command line asks only for a text (--help, --version), which needs no display:
// answered before the window system starts, it works over ssh and in scripts too.
bool asksForTextOnly(int argc, char *argv[])
{
    for (int k = 1; k < argc; ++k) {
        const std::string_view word = argv[k];
        if (word == "--")
            return false;
        if (word == "-h" || word == "--help" || word == "--help-all" || word == "-v" ||
            word == "--version")
            return true;
    }
    return false;
}

[[noreturn]] void answerWithText(int argc, char *argv[])
{
    const QCoreApplication app(argc, argv);
    nameTheApplication();
    QCommandLineParser parser;
    describeArguments(parser);
    parser.process(app); // shows the text and ends the program
    std::exit(0);
}

} // namespace

int main(int argc, char *argv[])
{
    // First of all, before a password can be typed.
    if (const int error = varnok::makeUndumpable())
        std::fprintf(stderr, "varnok: could not protect the process's memory: %s\n",
                     std::strerror(error));
    if (asksForTextOnly(argc, argv))
        answerWithText(argc, argv);
    QApplication app(argc, argv);
    nameTheApplication();
    // Lets the desktop match the window to its launcher entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("com.brindlemoor.Varnok"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/varnok/varnok.ico")));
    varnok::installFontSubstitutes();

    QCommandLineParser parser;
    describeArguments(parser);
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
