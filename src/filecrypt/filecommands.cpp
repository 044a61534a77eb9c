#include "filecommands.h"

namespace varnok {

FileCommands::FileCommands(Rc4State &cipher, CommandHost &host)
    : m_cipher(cipher)
    , m_host(host)
{}

void FileCommands::encrypt() {}

void FileCommands::decrypt() {}

} // namespace varnok
