#pragma once

#include "commandhost.h"
#include "cryptstream.h"
#include "rc4.h"

#include <QCoreApplication>
#include <QString>

#include <optional>

namespace varnok {

class RunFiles;

// The Encrypt and Decrypt commands: stream the chosen file through the cipher into
// "<name>.enc" (Encrypt) or into the name without its last four characters (Decrypt).
// The input is opened first and checked on its open handle, so that the file checked is the
// file read; every check that can refuse a run comes before the replace question and before
// anything is created, and the output is staged and takes its name only once all bytes are on
// disk. Names are resolved in the chosen folder alone, and a link at the output's name is
// never written through. The system's side of all this is RunFiles (platformfiles.h).
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

    // Why password cannot key the cipher (it is empty, or holds a character without a
    // Windows-1252 code), in the words the commands use; nothing when it can.
    static std::optional<QString> passwordRefusal(const QString &password);

    // Full path of the file being handled: the input after Encrypt, the output after Decrypt.
    QString curFile;

private:
    enum class Direction { Encrypt, Decrypt };
    class BusyPointer;

    void run(Direction direction) noexcept;
    void runSteps(Direction direction);
    bool keyCipher();
    std::optional<QString> checkName(Direction direction, const QString &name) const;
    bool mayReplace(const RunFiles &files, const QString &output, BusyPointer &busy);
    std::optional<QString> transfer(RunFiles &files, const QString &input, const QString &output);
    std::optional<QString> readFailure(const QString &input, qint64 size,
                                       const CryptStreamResult &result) const;
    void tellUser(const QString &text) noexcept;
    static QString unencodablePasswordMessage();

    Rc4State &m_cipher;
    CommandHost &m_host;
    bool m_running = false;
};

} // namespace varnok
