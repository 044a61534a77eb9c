#include "filecommands.h"

#include "codepage1252.h"
#include "exitsignals.h"
#include "filename.h"
#include "platformfiles.h"

#include <QScopeGuard>

#include <exception>

namespace varnok {

namespace {

const QString encryptedSuffix = QStringLiteral(".enc");

QString emptyPasswordMessage()
{
    return QStringLiteral("You need to enter a password for encrypten or decrypten");
}
constexpr qsizetype decryptCut = 4; // Decrypt removes this many characters from the name

} // namespace

// Shows the busy pointer for as long as it lives, so that every way out of a command, an
// exception included, puts the default pointer back.
class FileCommands::BusyPointer final
{
public:
    explicit BusyPointer(CommandHost &host)
        : m_host(host)
    {
        show();
    }
    ~BusyPointer()
    {
        try {
            hide();
        } catch (...) {
            // A host that fails to change its pointer must not turn an unwind into a crash.
        }
    }
    Q_DISABLE_COPY_MOVE(BusyPointer)

    void show()
    {
        if (!m_shown) {
            m_host.showBusyPointer();
            m_shown = true;
        }
    }
    void hide()
    {
        if (m_shown) {
            m_shown = false;
            m_host.showDefaultPointer();
        }
    }

private:
    CommandHost &m_host;
    bool m_shown = false;
};

FileCommands::FileCommands(Rc4State &cipher, CommandHost &host)
    : m_cipher(cipher)
    , m_host(host)
{
    RunFiles::prepareProcess();
}

void FileCommands::encrypt() noexcept
{
    run(Direction::Encrypt);
}

void FileCommands::decrypt() noexcept
{
    run(Direction::Decrypt);
}

void FileCommands::run(Direction direction) noexcept
{
    if (m_running)
        return;
    m_running = true;
    try {
        runSteps(direction);
    } catch (const std::exception &e) {
        tellUser(tr("The command stopped: %1").arg(QString::fromLocal8Bit(e.what())));
    } catch (...) {
        tellUser(tr("The command stopped because of an unexpected error."));
    }
    m_cipher.wipe(); // each command keys it afresh
    m_running = false;
}

void FileCommands::runSteps(Direction direction)
{
    m_cipher.idxI = 0;
    m_cipher.idxJ = 0;
    if (m_host.passwordText().isEmpty()) {
        tellUser(emptyPasswordMessage());
        return;
    }
    if (!keyCipher())
        return;
    BusyPointer busy(m_host);
    const auto stop = [&busy, this](const QString &why) {
        busy.hide();
        tellUser(why);
    };
    const QString folder = m_host.folderPath();
    const QString name = m_host.fileName();
    curFile = folder + u'/' + name;
    if (const auto refusal = checkName(direction, name))
        return stop(*refusal);
    const RunUnderWay underWay(
        (direction == Direction::Encrypt ? tr("Encrypting %1") : tr("Decrypting %1"))
            .arg(displayedFileName(name)));
    const QString outputName = direction == Direction::Encrypt
                                   ? name + encryptedSuffix
                                   : *withoutLastCharacters(name, decryptCut);
    RunFiles files(folder, name, outputName);
    const auto inputRefusal = files.openInput();
    // What a killed run left in this folder goes first, whatever becomes of this one.
    files.removeStaleStagedFiles();
    if (inputRefusal)
        return stop(*inputRefusal);
    if (direction == Direction::Decrypt)
        curFile = files.outputPath();
    if (const auto refusal = files.checkOutput())
        return stop(*refusal);
    // Spelled now as the folder lists a file it replaces.
    const QString output = files.outputPath();
    if (direction == Direction::Decrypt)
        curFile = output;
    if (!mayReplace(files, output, busy))
        return;
    if (const auto failure = transfer(files, folder + u'/' + name, output))
        stop(*failure);
}

// The password is read afresh for the key, as the host may hand out its current text. The
// copies made here are overwritten before they are freed; the host keeps its own.
bool FileCommands::keyCipher()
{
    std::u16string text = m_host.passwordText().toStdU16String();
    auto key = toWindows1252(text);
    secureZero(text.data(), text.size() * sizeof(char16_t));
    const auto wipeKey = qScopeGuard([&key] {
        if (key)
            secureZero(key->data(), key->size());
    });
    if (key && key->empty()) {
        tellUser(emptyPasswordMessage());
        return false;
    }
    if (!key) {
        tellUser(unencodablePasswordMessage());
        return false;
    }
    m_cipher.RC4ini(*key);
    return true;
}

QString FileCommands::unencodablePasswordMessage()
{
    return tr("The password contains a character that has no code in the Western "
              "(Windows-1252) character set, so it cannot be used as a key. "
              "Please use other characters.");
}

std::optional<QString> FileCommands::passwordRefusal(const QString &password)
{
    if (password.isEmpty())
        return emptyPasswordMessage();
    std::u16string text = password.toStdU16String();
    auto key = toWindows1252(text);
    secureZero(text.data(), text.size() * sizeof(char16_t));
    if (!key)
        return unencodablePasswordMessage();
    secureZero(key->data(), key->size());
    return std::nullopt;
}

// Checks on the name alone, before anything is opened.
std::optional<QString> FileCommands::checkName(Direction direction, const QString &name) const
{
    if (name.isEmpty())
        return tr("Please choose a file first: the file name is empty.");
    // The output goes beside the input; a path in the name could put it in any other folder.
    if (RunFiles::isPath(name))
        return tr("%1 is a path, not a file name. Please choose the file's folder in the folder "
                  "list and give only the name of the file.")
            .arg(shownPath(name));
    // A shorter name would leave nothing, or a broken character, once the cut is made.
    if (direction == Direction::Decrypt && !withoutLastCharacters(name, decryptCut))
        return tr("Cannot decrypt %1: decrypting removes the last four characters of the "
                  "name, so the name must be longer than four characters.")
            .arg(shownPath(curFile));
    return std::nullopt;
}

// A wrong password gives wrong bytes without a word, so an existing file (perhaps the only
// plain copy) is replaced only when the user says so.
bool FileCommands::mayReplace(const RunFiles &files, const QString &output, BusyPointer &busy)
{
    if (!files.replacesFile())
        return true;
    busy.hide();
    if (!m_host.confirmReplace(output, files.replaceCaveat()))
        return false;
    busy.show();
    return true;
}

std::optional<QString> FileCommands::transfer(RunFiles &files, const QString &input,
                                              const QString &output)
{
    if (const auto failure = files.beginOutput())
        return failure;
    const auto progress = [this](qint64 done, qint64 total) {
        m_host.showProgress(done, total);
        return !m_host.stopRequested();
    };
    const CryptStreamResult result = cryptStream(files.inputDevice(), files.outputDevice(),
                                                 m_cipher, files.inputSize(), progress);
    if (result.failure == CryptStreamResult::Failure::Stopped)
        return std::nullopt; // the staged file goes with `files`
    if (result.failure == CryptStreamResult::Failure::Write)
        return tr("Could not write %1: %2").arg(shownPath(output), result.errorString);
    if (!result.ok())
        return readFailure(input, files.inputSize(), result);
    return files.commit();
}

std::optional<QString> FileCommands::readFailure(const QString &input, qint64 size,
                                                 const CryptStreamResult &result) const
{
    const QString where = shownPath(input);
    if (result.failure == CryptStreamResult::Failure::Read)
        return tr("Could not read %1: %2").arg(where, result.errorString);
    if (result.done < size)
        return tr("Could not read %1: it ended after %2 bytes, shorter than the %3 bytes its "
                  "size said. It was cut short while it was read, or it is a system file that "
                  "does not deliver what its size says. Nothing was written.")
            .arg(where)
            .arg(result.done)
            .arg(size);
    return tr("Could not read %1: the file became shorter while it was being read. Nothing "
              "was written.")
        .arg(where);
}

void FileCommands::tellUser(const QString &text) noexcept
{
    try {
        m_host.showMessage(text);
    } catch (...) {
        // Nothing is left to tell the user with.
    }
}

} // namespace varnok
