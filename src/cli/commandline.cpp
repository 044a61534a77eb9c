#include "commandline.h"

#include "filename.h"

#include <QCommandLineParser>

namespace varnok {

CommandLine CommandLine::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        tr("Encrypts or decrypts files with a password, as the Varnok window does: encrypt "
           "writes FILE.enc beside each FILE, decrypt writes FILE less its last four "
           "characters.\n\nThe password is asked for on the terminal, twice for encrypt, or, "
           "when standard input is not a terminal, read from its first line. An output that "
           "exists is replaced only when the terminal's question is answered y, or with "
           "--force.\n\nExit status: 0 when every file succeeded, 1 when any failed, 2 for a "
           "usage error."));
    const QCommandLineOption force({QStringLiteral("f"), QStringLiteral("force")},
                                   tr("Replace outputs that exist without asking."));
    parser.addOption(force);
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), tr("encrypt or decrypt."),
                                 QStringLiteral("encrypt|decrypt"));
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 tr("Files to encrypt or decrypt, each on its own."),
                                 QStringLiteral("FILE..."));

    CommandLine line;
    // Named as the program is, not by the path it was started with.
    line.help = parser.helpText();
    line.help.replace(0, line.help.indexOf(QLatin1String(" [options]")),
                      tr("Usage: %1").arg(QCoreApplication::applicationName()));
    if (!parser.parse(arguments)) {
        // Shown inert: a control character in an option would act on the terminal.
        line.error = displayedFileName(parser.errorText(), NamePlace::OnItsOwn);
        return line;
    }
    if (parser.isSet(help)) {
        line.action = Action::Help;
        return line;
    }
    if (parser.isSet(version)) {
        line.action = Action::Version;
        return line;
    }
    line.files = parser.positionalArguments();
    const QString command = line.files.isEmpty() ? QString() : line.files.takeFirst();
    line.force = parser.isSet(force);
    if (command.isEmpty())
        line.error = tr("Give a command: encrypt or decrypt.");
    else if (command != QLatin1String("encrypt") && command != QLatin1String("decrypt"))
        line.error =
            tr("Unknown command '%1': give encrypt or decrypt.").arg(displayedFileName(command));
    else if (line.files.isEmpty())
        line.error = tr("Give at least one file to %1.").arg(command);
    else
        line.action = command == QLatin1String("encrypt") ? Action::Encrypt : Action::Decrypt;
    return line;
}

} // namespace varnok
