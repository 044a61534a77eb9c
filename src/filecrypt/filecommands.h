#pragma once

#include "commandhost.h"
#include "rc4.h"

#include <QCoreApplication>
#include <QString>

#include <optional>

namespace varnok {

// The Encrypt and Decrypt commands: stream the chosen file through the cipher into
// "<name>.enc" (Encrypt) or into the name without its last four characters (Decrypt).
// Every check that can refuse a run comes before any file is opened or created, and the
// output is written to a temporary file that replaces it only once all bytes are on disk.
class FileCommands final
{
    Q_DECLARE_TR_FUNCTIONS(FileCommands)

public:
    FileCommands(Rc4State &cipher, CommandHost &host);
    Q_DISABLE_COPY_MOVE(FileCommands)

    // Neither lets an exception out: every failure ends as a message to the host. A call made
    // while a command runs (from a host that lets events through) is ignored, as the cipher
    // state is in use.
    void encrypt() noexcept;
    void decrypt() noexcept;

    // Full path of the file being handled: the input after Encrypt, the output after Decrypt.
    QString curFile;

private:
    enum class Direction { Encrypt, Decrypt };
    class BusyPointer;

    void run(Direction direction) noexcept;
    void runSteps(Direction direction);
    bool keyCipher();
    std::optional<QString> checkInput(Direction direction, const QString &name) const;
    std::optional<QString> checkOutput(const QString &output) const;
    bool mayReplace(const QString &output, BusyPointer &busy);
    std::optional<QString> transfer(const QString &input, const QString &output,
                                    Direction direction);
    void tellUser(const QString &text) noexcept;

    Rc4State &m_cipher;
    CommandHost &m_host;
    bool m_running = false;
};

} // namespace varnok
