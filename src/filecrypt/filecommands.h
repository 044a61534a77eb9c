#pragma once

#include "commandhost.h"
#include "rc4.h"

#include <QString>

namespace varnok {

// The Encrypt and Decrypt commands: stream the chosen file through the cipher into
// "<name>.enc" (Encrypt) or into the name without its last four characters (Decrypt).
class FileCommands final
{
public:
    FileCommands(Rc4State &cipher, CommandHost &host);
    Q_DISABLE_COPY_MOVE(FileCommands)

    void encrypt();
    void decrypt();

    // Full path of the file being handled: the input after Encrypt, the output after Decrypt.
    QString curFile;

private:
    Rc4State &m_cipher;
    CommandHost &m_host;
};

} // namespace varnok
