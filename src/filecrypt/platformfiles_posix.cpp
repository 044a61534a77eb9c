#include "platformfiles.h"

#include "filedescriptor.h"
#include "stagedoutput.h"

#include <QFile>

#include <csignal>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace varnok {

namespace {

QString reason(int error)
{
    return qt_error_string(error);
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

// What one run works on, gathered and checked step by step before any byte moves. Members go
// in reverse: the devices before the staged file, the staged file before its folder.
struct RunFiles::State
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
    std::optional<StagedOutput> staged;
    QFile in;
    QFile out;

    std::optional<QString> checkReplaceable(const struct statx &details) const;
};

RunFiles::RunFiles(const QString &folderPath, const QString &inputName, const QString &outputName)
    : d(std::make_unique<State>())
{
    d->folderPath = folderPath;
    d->input = folderPath + u'/' + inputName;
    d->output = folderPath + u'/' + outputName;
    d->inputName = encodeFileName(inputName);
    d->outputName = encodeFileName(outputName);
}

RunFiles::~RunFiles() = default;

// A process over its file-size limit gets SIGXFSZ, which ends it unless ignored; ignored, the
// write fails with EFBIG, which the command reports like any other failed write.
void RunFiles::prepareProcess()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        sigaction(SIGXFSZ, &ignore, nullptr);
    });
}

bool RunFiles::isPath(const QString &name)
{
    return name.contains(u'/');
}

// Opens the folder and, in it, the input; then checks the open file itself, so that whatever
// is swapped in at the name later is never read.
std::optional<QString> RunFiles::openInput()
{
    const QString notFound = tr("The file %1 was not found.").arg(shownPath(d->input));
    d->folder = FileDescriptor(
        ::open(encodeFileName(d->folderPath).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!d->folder.isValid()) {
        if (errno == ENOENT || errno == ENOTDIR)
            return notFound;
        return tr("Could not open the folder %1: %2").arg(shownPath(d->folderPath), reason(errno));
    }
    // Without O_NONBLOCK a fifo would hold the window until some other program writes to it.
    d->inputFile = FileDescriptor(::openat(d->folder.get(), d->inputName.constData(),
                                           O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!d->inputFile.isValid()) {
        if (errno == ENOENT)
            return notFound;
        if (errno == ENXIO) // a socket
            return tr("%1 is not a regular file.").arg(shownPath(d->input));
        return tr("Could not open %1: %2").arg(shownPath(d->input), reason(errno));
    }
    if (::fstat(d->inputFile.get(), &d->inputInfo) != 0)
        return tr("Could not open %1: %2").arg(shownPath(d->input), reason(errno));
    if (S_ISDIR(d->inputInfo.st_mode))
        return tr("%1 is a folder, not a file.").arg(shownPath(d->input));
    if (!S_ISREG(d->inputInfo.st_mode))
        return tr("%1 is not a regular file.").arg(shownPath(d->input));
    // Reads of a regular file never wait for a writer; the flag only mattered for the open.
    if (::fcntl(d->inputFile.get(), F_SETFL, O_RDONLY) != 0)
        return tr("Could not open %1: %2").arg(shownPath(d->input), reason(errno));
    return std::nullopt;
}

void RunFiles::removeStaleStagedFiles()
{
    if (d->folder.isValid())
        varnok::removeStaleStagedFiles(d->folder.get());
}

// Looks at the output's name without following a link: what stands there must be nothing, or
// a regular file that may be replaced.
std::optional<QString> RunFiles::checkOutput()
{
    if (const int error = folderRefusesNewFiles(d->folder.get()))
        return tr("Cannot write in %1: %2").arg(shownPath(d->folderPath), reason(error));
    const QString where = shownPath(d->output);
    struct statx details = {};
    if (::statx(d->folder.get(), d->outputName.constData(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS,
                &details) != 0) {
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
    if (const auto refusal = d->checkReplaceable(details))
        return refusal;
    d->existingOutput.emplace(d->folder.get(), d->outputName, info);
    return std::nullopt;
}

// Whatever would make the final rename fail, found before the user is asked and any byte moves.
// The rename still decides; these only spare the user a question and a run in vain.
std::optional<QString> RunFiles::State::checkReplaceable(const struct statx &details) const
{
    const QString where = shownPath(output);
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
    if (stickyFolderKeepsFile(folder.get(), info))
        return tr("Cannot replace %1: it belongs to another user, and its folder lets only a "
                  "file's owner replace it.")
            .arg(where);
    if (isWriteProtected(folder.get(), outputName, info))
        return tr("Cannot replace %1: the file is write-protected.").arg(where);
    return std::nullopt;
}

QString RunFiles::outputPath() const
{
    return d->output;
}

bool RunFiles::replacesFile() const
{
    return d->existingOutput.has_value();
}

QString RunFiles::replaceCaveat() const
{
    return d->existingOutput ? d->existingOutput->caveat() : QString();
}

qint64 RunFiles::inputSize() const
{
    return qint64(d->inputInfo.st_size);
}

std::optional<QString> RunFiles::beginOutput()
{
    const auto cannotWrite = [this](const QString &why) {
        return tr("Could not write %1: %2").arg(shownPath(d->output), why);
    };
    StagedOutput &staged = d->staged.emplace(d->folder.get(), d->outputName);
    // A new output gets the input's permission bits less the umask, as a copy would; a
    // replacement takes on the old file's own at commit.
    const mode_t mode = d->existingOutput ? S_IRUSR | S_IWUSR : d->inputInfo.st_mode & 0777;
    if (const int error = staged.create(mode))
        return cannotWrite(reason(error));
    if (!d->in.open(d->inputFile.get(), QIODevice::ReadOnly | QIODevice::Unbuffered,
                    QFileDevice::DontCloseHandle))
        return tr("Could not read %1: %2").arg(shownPath(d->input), d->in.errorString());
    if (!d->out.open(staged.fd(), QIODevice::WriteOnly | QIODevice::Unbuffered,
                     QFileDevice::DontCloseHandle))
        return cannotWrite(d->out.errorString());
    return std::nullopt;
}

QIODevice &RunFiles::inputDevice()
{
    return d->in;
}

QIODevice &RunFiles::outputDevice()
{
    return d->out;
}

std::optional<QString> RunFiles::commit()
{
    const ReplacedFile *replaced = d->existingOutput ? &*d->existingOutput : nullptr;
    if (const auto failure = d->staged->commit(replaced))
        return tr("Could not write %1: %2").arg(shownPath(d->output), *failure);
    if (const int error = syncFolder(d->folder.get()))
        return tr("%1 was written, but its folder could not be synced to disk (%2): a power "
                  "failure in the next moments could still lose the new file.")
            .arg(shownPath(d->output), reason(error));
    return std::nullopt;
}

} // namespace varnok
