#include "filecommands.h"

#include "codepage1252.h"
#include "cryptstream.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <exception>

namespace varnok {

namespace {

const QString encryptedSuffix = QStringLiteral(".enc");

QString emptyPasswordMessage()
{
    return QStringLiteral("You need to enter a password for encrypten or decrypten");
}
constexpr qsizetype decryptCut = 4; // Decrypt removes this many characters from the name

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

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
{}

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
    const QString input = curFile;
    if (const auto refusal = checkInput(direction, name))
        return stop(*refusal);
    const QString output =
        direction == Direction::Encrypt ? input + encryptedSuffix : input.chopped(decryptCut);
    if (const auto refusal = checkOutput(output))
        return stop(*refusal);
    if (!mayReplace(output, busy))
        return;
    if (const auto failure = transfer(input, output, direction))
        stop(*failure);
}

// The password is read afresh for the key, as the host may hand out its current text.
bool FileCommands::keyCipher()
{
    const auto key = toWindows1252(m_host.passwordText().toStdU16String());
    if (key && key->empty()) {
        tellUser(emptyPasswordMessage());
        return false;
    }
    if (!key) {
        tellUser(tr("The password contains a character that has no code in the Western "
                    "(Windows-1252) character set, so it cannot be used as a key. "
                    "Please use other characters."));
        return false;
    }
    m_cipher.RC4ini(*key);
    return true;
}

std::optional<QString> FileCommands::checkInput(Direction direction, const QString &name) const
{
    if (name.isEmpty())
        return tr("Please choose a file first: the file name is empty.");
    const QFileInfo info(curFile);
    if (info.isDir())
        return tr("%1 is a folder, not a file.").arg(shown(curFile));
    if (!info.exists())
        return tr("The file %1 was not found.").arg(shown(curFile));
    if (!info.isFile())
        return tr("%1 is not a regular file.").arg(shown(curFile));
    // A shorter name would have the cut reach into the folder path.
    if (direction == Direction::Decrypt && name.size() <= decryptCut)
        return tr("Cannot decrypt %1: decrypting removes the last four characters of the "
                  "name, so the name must be longer than four characters.")
            .arg(shown(curFile));
    return std::nullopt;
}

std::optional<QString> FileCommands::checkOutput(const QString &output) const
{
    const QFileInfo info(output);
    if (info.isDir())
        return tr("Cannot write %1: it is a folder.").arg(shown(output));
    if (!info.exists())
        return std::nullopt;
    if (!info.isFile())
        return tr("Cannot write %1: it is not a regular file.").arg(shown(output));
    if (!info.isWritable())
        return tr("Cannot replace %1: the file is write-protected.").arg(shown(output));
    return std::nullopt;
}

// A wrong password gives wrong bytes without a word, so an existing file (perhaps the only
// plain copy) is replaced only when the user says so.
bool FileCommands::mayReplace(const QString &output, BusyPointer &busy)
{
    if (!QFileInfo::exists(output))
        return true;
    busy.hide();
    if (!m_host.confirmReplace(output))
        return false;
    busy.show();
    return true;
}

std::optional<QString> FileCommands::transfer(const QString &input, const QString &output,
                                              Direction direction)
{
    const auto cannotWrite = [&output](const QString &reason) {
        return tr("Could not write %1: %2").arg(shown(output), reason);
    };
    QFile in(input);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return tr("Could not open %1: %2").arg(shown(input), in.errorString());
    if (direction == Direction::Decrypt)
        curFile = output;
    // The bytes go to a temporary file beside the output that replaces it only once all of
    // them are on disk: a failure leaves an existing output exactly as it was.
    const bool replacing = QFileInfo::exists(output);
    QSaveFile out(output);
    if (!out.open(QIODevice::WriteOnly))
        return cannotWrite(out.errorString());
    // A private file's counterpart stays private; a replaced file keeps its own bits.
    if (!replacing && !out.setPermissions(in.permissions()))
        return cannotWrite(out.errorString());
    const CryptStreamResult result =
        cryptStream(in, out, m_cipher, in.size(),
                    [this](qint64 done, qint64 total) { m_host.showProgress(done, total); });
    switch (result.failure) {
    case CryptStreamResult::Failure::None:
        break;
    case CryptStreamResult::Failure::Read:
        return tr("Could not read %1: %2").arg(shown(input), result.errorString);
    case CryptStreamResult::Failure::InputEndedEarly:
        return tr("Could not read %1: the file became shorter while it was being read.")
            .arg(shown(input));
    case CryptStreamResult::Failure::Write:
        return cannotWrite(result.errorString);
    }
    // commit() flushes the last buffered bytes itself but goes on to replace the output even
    // when that flush fails (seen with Qt 6.4 on a full disk), so flush and check first.
    if (!out.flush() || out.error() != QFileDevice::NoError || !out.commit())
        return cannotWrite(out.errorString());
    return std::nullopt;
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
