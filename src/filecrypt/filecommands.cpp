#include "filecommands.h"

#include "codepage1252.h"
#include "filedescriptor.h"
#include "filename.h"
#include "stagedoutput.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>

#include <csignal>
#include <exception>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

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
    return displayedFileName(QDir::toNativeSeparators(path));
}

QString reason(int error)
{
    return qt_error_string(error);
}

// A process over its file-size limit gets SIGXFSZ, which ends it unless ignored; ignored, the
// write fails with EFBIG, which the command reports like any other failed write.
void ignoreFileSizeSignal()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, nullptr);
    });
}

bool isWriteProtected(int folder, const QByteArray &name, const struct stat &info)
{
    // Root may write anything, but a file without any write bit was protected on purpose.
    return (info.st_mode & 0222) == 0 ||
           ::faccessat(folder, name.constData(), W_OK, AT_EACCESS) != 0;
}

// 0, or why no file can be created in the folder: the new file is made there before it takes
// the output's name, so a writable output in a locked folder is no help.
int folderRefusesNewFiles(int folder)
{
    struct statvfs volume = {};
    if (::fstatvfs(folder, &volume) == 0 && (volume.f_flag & ST_RDONLY) != 0)
        return EROFS;
    if (::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return errno;
    return 0;
}

// In a sticky folder (/tmp and the like) only the file's owner, the folder's owner or root
// may replace or remove a file.
bool stickyFolderKeepsFile(int folder, const struct stat &file)
{
    struct stat info = {};
    if (::fstat(folder, &info) != 0 || (info.st_mode & S_ISVTX) == 0)
        return false;
    const uid_t user = ::geteuid();
    return user != 0 && file.st_uid != user && info.st_uid != user;
}

struct stat statFromStatx(const struct statx &details)
{
    struct stat info = {};
    info.st_dev = makedev(details.stx_dev_major, details.stx_dev_minor);
    info.st_ino = details.stx_ino;
    info.st_mode = details.stx_mode;
    info.st_nlink = details.stx_nlink;
    info.st_uid = details.stx_uid;
    info.st_gid = details.stx_gid;
    info.st_size = off_t(details.stx_size);
    return info;
}

} // namespace

// What one run works on, gathered and checked step by step before any byte moves.
struct FileCommands::Job
{
    QString folderPath; // paths as the user gave them, for opening the folder and for messages
    QString input;
    QString output;
    FileDescriptor folder;
    QByteArray inputName; // names as the folder holds them
    QByteArray outputName;
    FileDescriptor inputFile;
    struct stat inputInfo = {};
    std::optional<ReplacedFile> existingOutput; // the regular file the output would replace
};

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
    ignoreFileSizeSignal();
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
    const QString outputName = direction == Direction::Encrypt
                                   ? name + encryptedSuffix
                                   : *withoutLastCharacters(name, decryptCut);
    Job job;
    job.folderPath = folder;
    job.input = curFile;
    job.output = folder + u'/' + outputName;
    job.inputName = encodeFileName(name);
    job.outputName = encodeFileName(outputName);
    const auto inputRefusal = openInput(job);
    // What a killed run left in this folder goes first, whatever becomes of this one.
    if (job.folder.isValid())
        removeStaleStagedFiles(job.folder.get());
    if (inputRefusal)
        return stop(*inputRefusal);
    if (direction == Direction::Decrypt)
        curFile = job.output;
    if (const auto refusal = checkOutput(job))
        return stop(*refusal);
    if (!mayReplace(job, busy))
        return;
    if (const auto failure = transfer(job))
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
        tellUser(tr("The password contains a character that has no code in the Western "
                    "(Windows-1252) character set, so it cannot be used as a key. "
                    "Please use other characters."));
        return false;
    }
    m_cipher.RC4ini(*key);
    return true;
}

// Checks on the name alone, before anything is opened.
std::optional<QString> FileCommands::checkName(Direction direction, const QString &name) const
{
    if (name.isEmpty())
        return tr("Please choose a file first: the file name is empty.");
    // The output goes beside the input; a path in the name could put it in any other folder.
    if (name.contains(u'/'))
        return tr("%1 is a path, not a file name. Please choose the file's folder in the folder "
                  "list and give only the name of the file.")
            .arg(shown(name));
    // A shorter name would leave nothing, or a broken character, once the cut is made.
    if (direction == Direction::Decrypt && !withoutLastCharacters(name, decryptCut))
        return tr("Cannot decrypt %1: decrypting removes the last four characters of the "
                  "name, so the name must be longer than four characters.")
            .arg(shown(curFile));
    return std::nullopt;
}

// Opens the folder and, in it, the input; then checks the open file itself, so that whatever
// is swapped in at the name later is never read.
std::optional<QString> FileCommands::openInput(Job &job) const
{
    const QString notFound = tr("The file %1 was not found.").arg(shown(job.input));
    job.folder = FileDescriptor(
        ::open(encodeFileName(job.folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!job.folder.isValid()) {
        if (errno == ENOENT || errno == ENOTDIR)
            return notFound;
        return tr("Could not open the folder %1: %2").arg(shown(job.folderPath), reason(errno));
    }
    // Without O_NONBLOCK a fifo would hold the window until some other program writes to it.
    job.inputFile = FileDescriptor(::openat(job.folder.get(), job.inputName.constData(),
                                            O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!job.inputFile.isValid()) {
        if (errno == ENOENT)
            return notFound;
        if (errno == ENXIO) // a socket
            return tr("%1 is not a regular file.").arg(shown(job.input));
        return tr("Could not open %1: %2").arg(shown(job.input), reason(errno));
    }
    if (::fstat(job.inputFile.get(), &job.inputInfo) != 0)
        return tr("Could not open %1: %2").arg(shown(job.input), reason(errno));
    if (S_ISDIR(job.inputInfo.st_mode))
        return tr("%1 is a folder, not a file.").arg(shown(job.input));
    if (!S_ISREG(job.inputInfo.st_mode))
        return tr("%1 is not a regular file.").arg(shown(job.input));
    // Reads of a regular file never wait for a writer; the flag only mattered for the open.
    if (::fcntl(job.inputFile.get(), F_SETFL, O_RDONLY) != 0)
        return tr("Could not open %1: %2").arg(shown(job.input), reason(errno));
    return std::nullopt;
}

// Looks at the output's name without following a link: what stands there must be nothing, or
// a regular file that may be replaced.
std::optional<QString> FileCommands::checkOutput(Job &job) const
{
    if (const int error = folderRefusesNewFiles(job.folder.get()))
        return tr("Cannot write in %1: %2").arg(shown(job.folderPath), reason(error));
    const QString where = shown(job.output);
    struct statx details = {};
    if (::statx(job.folder.get(), job.outputName.constData(), AT_SYMLINK_NOFOLLOW,
                STATX_BASIC_STATS, &details) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        return tr("Cannot write %1: %2").arg(where, reason(errno));
    }
    const struct stat info = statFromStatx(details);
    if (S_ISLNK(info.st_mode))
        return tr("Cannot write %1: it is a symbolic link, and files are never written through "
                  "links. Please remove or rename the link first.")
            .arg(where);
    if (S_ISDIR(info.st_mode))
        return tr("Cannot write %1: it is a folder.").arg(where);
    if (!S_ISREG(info.st_mode))
        return tr("Cannot write %1: it is not a regular file.").arg(where);
    if (const auto refusal = checkReplaceable(job, details))
        return refusal;
    job.existingOutput.emplace(job.folder.get(), job.outputName, info);
    return std::nullopt;
}

// Whatever would make the final rename fail, found before the user is asked and any byte moves.
// The rename still decides; these only spare the user a question and a run in vain.
std::optional<QString> FileCommands::checkReplaceable(const Job &job,
                                                      const struct statx &details) const
{
    const QString where = shown(job.output);
    const auto has = [&details](std::uint64_t attribute) {
        return (details.stx_attributes_mask & attribute) != 0 &&
               (details.stx_attributes & attribute) != 0;
    };
    if (has(STATX_ATTR_MOUNT_ROOT))
        return tr("Cannot replace %1: another file system is mounted at that name.").arg(where);
    if (has(STATX_ATTR_IMMUTABLE))
        return tr("Cannot replace %1: the file is marked immutable.").arg(where);
    if (has(STATX_ATTR_APPEND))
        return tr("Cannot replace %1: the file is marked append-only.").arg(where);
    const struct stat info = statFromStatx(details);
    if (stickyFolderKeepsFile(job.folder.get(), info))
        return tr("Cannot replace %1: it belongs to another user, and its folder lets only a "
                  "file's owner replace it.")
            .arg(where);
    if (isWriteProtected(job.folder.get(), job.outputName, info))
        return tr("Cannot replace %1: the file is write-protected.").arg(where);
    return std::nullopt;
}

// A wrong password gives wrong bytes without a word, so an existing file (perhaps the only
// plain copy) is replaced only when the user says so.
bool FileCommands::mayReplace(const Job &job, BusyPointer &busy)
{
    if (!job.existingOutput)
        return true;
    busy.hide();
    if (!m_host.confirmReplace(job.output, job.existingOutput->caveat()))
        return false;
    busy.show();
    return true;
}

std::optional<QString> FileCommands::transfer(const Job &job)
{
    const auto cannotWrite = [&job](const QString &why) {
        return tr("Could not write %1: %2").arg(shown(job.output), why);
    };
    StagedOutput staged(job.folder.get(), job.outputName);
    // A new output gets the input's permission bits less the umask, as a copy would; a
    // replacement takes on the old file's own at commit.
    const mode_t mode = job.existingOutput ? S_IRUSR | S_IWUSR : job.inputInfo.st_mode & 0777;
    if (const int error = staged.create(mode))
        return cannotWrite(reason(error));
    QFile in;
    QFile out;
    if (!in.open(job.inputFile.get(), QIODevice::ReadOnly | QIODevice::Unbuffered,
                 QFileDevice::DontCloseHandle))
        return tr("Could not read %1: %2").arg(shown(job.input), in.errorString());
    if (!out.open(staged.fd(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                  QFileDevice::DontCloseHandle))
        return cannotWrite(out.errorString());
    const auto progress = [this](qint64 done, qint64 total) {
        m_host.showProgress(done, total);
        return !m_host.stopRequested();
    };
    const CryptStreamResult result =
        cryptStream(in, out, m_cipher, job.inputInfo.st_size, progress);
    if (result.failure == CryptStreamResult::Failure::Stopped)
        return std::nullopt; // the staged file goes with `staged`
    if (result.failure == CryptStreamResult::Failure::Write)
        return cannotWrite(result.errorString);
    if (!result.ok())
        return readFailure(job, result);
    const ReplacedFile *replaced = job.existingOutput ? &*job.existingOutput : nullptr;
    if (const auto failure = staged.commit(replaced))
        return cannotWrite(*failure);
    if (const int error = syncFolder(job.folder.get()))
        return tr("%1 was written, but its folder could not be synced to disk (%2): a power "
                  "failure in the next moments could still lose the new file.")
            .arg(shown(job.output), reason(error));
    return std::nullopt;
}

std::optional<QString> FileCommands::readFailure(const Job &job,
                                                 const CryptStreamResult &result) const
{
    const QString where = shown(job.input);
    if (result.failure == CryptStreamResult::Failure::Read)
        return tr("Could not read %1: %2").arg(where, result.errorString);
    if (result.done < job.inputInfo.st_size)
        return tr("Could not read %1: it ended after %2 bytes, shorter than the %3 bytes its "
                  "size said. It was cut short while it was read, or it is a system file that "
                  "does not deliver what its size says. Nothing was written.")
            .arg(where)
            .arg(result.done)
            .arg(qint64(job.inputInfo.st_size));
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
