#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

namespace varnok {

// What the command line asks for:
//   varnok-cli [-f|--force] encrypt|decrypt [--] FILE...
//   varnok-cli -h|--help    varnok-cli -v|--version
// Options may stand anywhere; after "--" every word is a file.
struct CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    enum class Action { Encrypt, Decrypt, Help, Version, UsageError };

    Action action = Action::UsageError;
    QStringList files;
    bool force = false;
    QString error; // for a usage error: what is wrong, as one sentence
    QString help;  // the text --help shows

    static CommandLine parse(const QStringList &arguments);
};

} // namespace varnok
