#include "cliprogram.h"
#include "console.h"
#include "exitsignals.h"
#include "undumpable.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char *argv[])
{
    // First of all, before a password can be typed.
    if (const int error = varnok::makeUndumpable())
        std::fprintf(stderr, "varnok-cli: could not protect the process's memory: %s\n",
                     std::strerror(error));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("varnok-cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VARNOK_VERSION));
    QCoreApplication::setOrganizationName(QStringLiteral("Brindlemoor"));
    // Before the first question: a signal during a run must find the staged file's clean-up
    // in place, and the event loops that wait for input let it act.
    const varnok::ExitSignals exitSignals;
    const auto console = varnok::systemConsole();
    return varnok::runCli(*console, varnok::programArguments(argc, argv));
}
