#include "stagedoutput.h"

#include <QRandomGenerator>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>

namespace varnok {

namespace {

constexpr int stagingAttempts = 100;
constexpr char stagedPrefix[] = ".varnok-";
constexpr char stagedSuffix[] = ".part";

// Hidden, so that the file list never offers a half-written file; short, so that it fits
// however long the output's own name is.
QByteArray stagedFileName()
{
    const quint64 random = QRandomGenerator::system()->generate64();
    return stagedPrefix + QByteArray::number(random, 36) + stagedSuffix;
}

bool isStagedFileName(const char *name)
{
    const std::size_t length = std::strlen(name);
    const std::size_t prefix = sizeof stagedPrefix - 1;
    const std::size_t suffix = sizeof stagedSuffix - 1;
    return length > prefix + suffix && std::strncmp(name, stagedPrefix, prefix) == 0 &&
           std::strcmp(name + length - suffix, stagedSuffix) == 0;
}

QString reason(int error)
{
    return qt_error_string(error);
}

int retryOnInterrupt(int (*call)(int), int fd)
{
    int result = 0;
    do {
        result = call(fd);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

QByteArray procPath(int fd)
{
    return "/proc/self/fd/" + QByteArray::number(fd);
}

// The named staged files of the runs under way, in plain memory so that an exit hook can reach
// them without allocating. A slot is claimed, filled and only then given its folder, so that the
// hook, on whatever thread it runs, sees a whole entry or none. Runs come one at a time, a run
// stuck on a drive that does not answer perhaps beside them: a few slots suffice.
constexpr int freeSlot = -1;
constexpr int claimedSlot = -2;

struct StagedEntry
{
    std::atomic<int> folder = freeSlot;
    int held = -1;
    std::array<char, 64> name{};
};
std::array<StagedEntry, 4> stagedEntries;

void registerAtExit()
{
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(removeStagedFilesAtExit);
        std::at_quick_exit(removeStagedFilesAtExit);
    });
}

void remember(int folder, int held, const QByteArray &name)
{
    registerAtExit();
    if (std::size_t(name.size()) >= StagedEntry().name.size())
        return;
    for (StagedEntry &entry : stagedEntries) {
        int expected = freeSlot;
        if (entry.folder.compare_exchange_strong(expected, claimedSlot)) {
            std::memcpy(entry.name.data(), name.constData(), std::size_t(name.size()) + 1);
            entry.held = held;
            entry.folder = folder;
            return;
        }
    }
}

void forget(int held)
{
    for (StagedEntry &entry : stagedEntries) {
        int folder = entry.folder;
        if (folder >= 0 && entry.held == held)
            entry.folder.compare_exchange_strong(folder, freeSlot);
    }
}

// Removes a staged name; where the folder forbids it (append-only), empties the file, so that
// nothing complete stays behind under the hidden name.
void removeStaged(int folder, const char *name, int held) noexcept
{
    if (::unlinkat(folder, name, 0) != 0 && held >= 0) {
        // The last resort: should even this fail, nothing else is left to try.
        [[maybe_unused]] const int emptied = ::ftruncate(held, 0);
    }
}

// A hidden staged file that this user's run left behind and that no live run holds.
bool isStale(int folder, const char *name)
{
    constexpr int flags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    FileDescriptor file(::openat(folder, name, O_RDONLY | flags));
    if (!file.isValid() && errno == EACCES) // a staged copy of a write-only file
        file = FileDescriptor(::openat(folder, name, O_WRONLY | flags));
    struct stat info = {};
    struct stat now = {};
    return file.isValid() && ::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_uid == ::geteuid() && ::flock(file.get(), LOCK_EX | LOCK_NB) == 0 &&
           ::fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0 && now.st_dev == info.st_dev &&
           now.st_ino == info.st_ino;
}

} // namespace

StagedOutput::StagedOutput(int folder, QByteArray name)
    : m_folder(folder)
    , m_name(std::move(name))
{}

StagedOutput::~StagedOutput()
{
    (void)m_file.close(); // the staged file is dropped; what close says no longer matters
    if (!m_committed)
        dropName();
}

void StagedOutput::dropName() noexcept
{
    if (m_stagedName.isEmpty())
        return;
    forget(m_held.get());
    removeStaged(m_folder, m_stagedName.constData(), m_held.get());
    m_stagedName.clear();
}

int StagedOutput::create(mode_t mode)
{
    const int error = createUnnamed(mode);
    // Not every file system has unnamed files: they then get a hidden name.
    if (error == EOPNOTSUPP || error == EISDIR || error == EINVAL)
        return createNamed(mode);
    return error;
}

int StagedOutput::createUnnamed(mode_t mode)
{
    m_file = FileDescriptor(::openat(m_folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (!m_file.isValid())
        return errno;
    if (const int error = hold())
        return error;
    // It is named through /proc, so without /proc it could never get its name.
    struct stat info = {};
    if (::stat(procPath(m_held.get()).constData(), &info) != 0) {
        m_held = FileDescriptor();
        m_file = FileDescriptor();
        return EOPNOTSUPP;
    }
    return 0;
}

int StagedOutput::createNamed(mode_t mode)
{
    for (int attempt = 0; attempt < stagingAttempts; ++attempt) {
        const QByteArray name = stagedFileName();
        // O_EXCL creates a new file or fails: nothing at that name, not even a link, is opened.
        const int fd = ::openat(m_folder, name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            m_file = FileDescriptor(fd);
            m_stagedName = name;
            if (const int error = hold()) {
                (void)::unlinkat(m_folder, name.constData(), 0);
                m_stagedName.clear();
                return error;
            }
            remember(m_folder, m_held.get(), name);
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// The lock tells other runs that this file is alive; it stays with the second descriptor.
int StagedOutput::hold()
{
    m_held = FileDescriptor(::fcntl(m_file.get(), F_DUPFD_CLOEXEC, 0));
    if (!m_held.isValid())
        return errno;
    return ::flock(m_held.get(), LOCK_EX) == 0 ? 0 : errno;
}

std::optional<QString> StagedOutput::commit(const ReplacedFile *replaced)
{
    // Set after the writes, as a write by a process without CAP_FSETID clears set-id bits.
    if (replaced) {
        if (auto failure = replaced->carryOverTo(m_file.get()))
            return failure;
    }
    // fsync rather than fdatasync: the owner and permission bits just set must last too.
    if (const int error = retryOnInterrupt(::fsync, m_file.get()))
        return reason(error);
    if (const int error = m_file.close())
        return reason(error);
    if (isNamed())
        return putInPlace(replaced ? &replaced->info() : nullptr);
    // A new output takes its name straight away: a link never replaces what is there.
    if (!replaced)
        return linkUnnamed(m_name.constData());
    // A replacement is named in hiding first and then renamed over the old file.
    for (int attempt = 0; attempt < stagingAttempts; ++attempt) {
        const QByteArray name = stagedFileName();
        const auto failure = linkUnnamed(name.constData());
        if (!failure) {
            m_committed = false;
            m_stagedName = name;
            remember(m_folder, m_held.get(), name);
            return putInPlace(&replaced->info());
        }
        if (errno != EEXIST)
            return failure;
    }
    return reason(EEXIST);
}

// Gives the unnamed file a name in the folder; through /proc, which needs no privilege.
std::optional<QString> StagedOutput::linkUnnamed(const char *name)
{
    if (::linkat(AT_FDCWD, procPath(m_held.get()).constData(), m_folder, name, AT_SYMLINK_FOLLOW) !=
        0) {
        if (errno == EEXIST)
            return tr("another program created a file of that name meanwhile, which was left "
                      "as it is");
        return reason(errno);
    }
    m_committed = true;
    return std::nullopt;
}

// The user agreed to replace one particular regular file; if another program has put a link or
// another file at the name since, that agreement does not hold for it.
std::optional<QString> StagedOutput::checkStillThere(const struct stat &replaced) const
{
    struct stat now = {};
    if (::fstatat(m_folder, m_name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return std::nullopt; // removed meanwhile: the new file simply takes the free name
        return reason(errno);
    }
    if (S_ISLNK(now.st_mode))
        return tr("it was replaced by a symbolic link meanwhile, which was left as it is");
    if (now.st_dev != replaced.st_dev || now.st_ino != replaced.st_ino)
        return tr("it was replaced by another file meanwhile, which was left as it is");
    return std::nullopt;
}

std::optional<QString> StagedOutput::putInPlace(const struct stat *replaced)
{
    const char *staged = m_stagedName.constData();
    const char *name = m_name.constData();
    const bool replacing = replaced != nullptr;
    if (replacing) {
        // Between this check and the rename another program could still swap the entry, but the
        // rename replaces only the entry in this folder, never what a link points to.
        if (auto failure = checkStillThere(*replaced))
            return failure;
    }
    int result = ::renameat2(m_folder, staged, m_folder, name, replacing ? 0 : RENAME_NOREPLACE);
    if (result != 0 && !replacing && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without no-replace renames: check, then rename.
        struct stat now = {};
        if (::fstatat(m_folder, name, &now, AT_SYMLINK_NOFOLLOW) == 0)
            errno = EEXIST;
        else
            result = ::renameat(m_folder, staged, m_folder, name);
    }
    if (result != 0) {
        if (!replacing && errno == EEXIST)
            return tr("another program created a file of that name meanwhile, which was left "
                      "as it is");
        return reason(errno);
    }
    forget(m_held.get());
    m_stagedName.clear();
    m_committed = true;
    return std::nullopt;
}

int syncFolder(int folder)
{
    return retryOnInterrupt(::fsync, folder);
}

void removeStaleStagedFiles(int folder)
{
    DIR *listing = ::fdopendir(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!listing)
        return; // only tidying: the run itself does not depend on it
    while (const dirent *entry = ::readdir(listing)) {
        if (isStagedFileName(entry->d_name) && isStale(folder, entry->d_name))
            (void)::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(listing);
}

void removeStagedFilesAtExit() noexcept
{
    for (StagedEntry &entry : stagedEntries) {
        int folder = entry.folder;
        if (folder >= 0 && entry.folder.compare_exchange_strong(folder, freeSlot))
            removeStaged(folder, entry.name.data(), entry.held);
    }
}

} // namespace varnok
