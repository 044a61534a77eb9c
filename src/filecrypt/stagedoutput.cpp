#include "stagedoutput.h"

#include <QRandomGenerator>

#include <cstdio>
#include <fcntl.h>

namespace varnok {

namespace {

constexpr int stagingAttempts = 100;

// Hidden, so that the file list never offers a half-written file; short, so that it fits
// however long the output's own name is.
QByteArray stagedFileName()
{
    const quint64 random = QRandomGenerator::system()->generate64();
    return ".varnok-" + QByteArray::number(random, 36) + ".part";
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

} // namespace

StagedOutput::StagedOutput(int folder, QByteArray name)
    : m_folder(folder)
    , m_name(std::move(name))
{}

StagedOutput::~StagedOutput()
{
    (void)m_file.close(); // the staged file is dropped; what close says no longer matters
    if (!m_committed && !m_stagedName.isEmpty())
        ::unlinkat(m_folder, m_stagedName.constData(), 0);
}

int StagedOutput::create(mode_t mode)
{
    for (int attempt = 0; attempt < stagingAttempts; ++attempt) {
        const QByteArray name = stagedFileName();
        // O_EXCL creates a new file or fails: nothing at that name, not even a link, is opened.
        const int fd = ::openat(m_folder, name.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            m_file = FileDescriptor(fd);
            m_stagedName = name;
            return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

std::optional<QString> StagedOutput::commit(const struct stat *replaced)
{
    if (replaced) {
        if (auto failure = takeOver(*replaced))
            return failure;
    }
    // fsync rather than fdatasync: the owner and permission bits just set must last too.
    if (const int error = retryOnInterrupt(::fsync, m_file.get()))
        return reason(error);
    if (const int error = m_file.close())
        return reason(error);
    return putInPlace(replaced);
}

// The replacement keeps the old file's owner and group where this process may give them (root
// may; anyone else only a group of their own) and exactly its permission bits. Set after the
// writes, as a write by a process without CAP_FSETID clears the set-id bits.
std::optional<QString> StagedOutput::takeOver(const struct stat &replaced)
{
    if (::fchown(m_file.get(), replaced.st_uid, replaced.st_gid) != 0 && errno != EPERM)
        return reason(errno);
    if (::fchmod(m_file.get(), replaced.st_mode & 07777) != 0)
        return reason(errno);
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
    m_committed = true;
    return std::nullopt;
}

int syncFolder(int folder)
{
    return retryOnInterrupt(::fsync, folder);
}

} // namespace varnok
