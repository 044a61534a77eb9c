#include "cliprogram.h"

#include "commandline.h"
#include "console.h"
#include "consolehost.h"
#include "filecommands.h"
#include "rc4.h"

namespace varnok {

namespace {

class Cli
{
    Q_DECLARE_TR_FUNCTIONS(Cli)

public:
    static QString summary(bool encrypt, qsizetype done, qsizetype failed)
    {
        const QString files = done == 1 ? tr("1 file") : tr("%1 files").arg(done);
        return (encrypt ? tr("%1 encrypted, %2 failed") : tr("%1 decrypted, %2 failed"))
                   .arg(files)
                   .arg(failed) +
               u'\n';
    }
};

} // namespace

int runCli(Console &console, const QStringList &arguments)
{
    const CommandLine line = CommandLine::parse(arguments);
    switch (line.action) {
    case CommandLine::Action::Help:
        console.writeOut(line.help);
        return 0;
    case CommandLine::Action::Version:
        console.writeOut(QCoreApplication::applicationName() + u' ' +
                         QCoreApplication::applicationVersion() + u'\n');
        return 0;
    case CommandLine::Action::UsageError:
        // The error and the usage line; --help has the rest.
        console.writeError(
            QStringLiteral("varnok-cli: %1\n%2\n").arg(line.error, line.help.section(u'\n', 0, 0)));
        return 2;
    case CommandLine::Action::Encrypt:
    case CommandLine::Action::Decrypt:
        break;
    }
    const bool encrypt = line.action == CommandLine::Action::Encrypt;
    ConsoleHost host(console, line.force);
    qsizetype failed = line.files.size();
    if (const auto refusal = host.takePassword(encrypt)) {
        host.say(*refusal);
    } else {
        Rc4State cipher;
        FileCommands commands(cipher, host);
        for (const QString &path : line.files)
            failed -= host.run(commands, encrypt, path) ? 1 : 0;
    }
    console.writeOut(Cli::summary(encrypt, line.files.size() - failed, failed));
    return failed == 0 ? 0 : 1;
}

} // namespace varnok
