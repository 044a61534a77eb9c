#include "replacedfile.h"

#include "filedescriptor.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace varnok {

namespace {

constexpr char aclAttribute[] = "system.posix_acl_access";

QString reason(int error)
{
    return qt_error_string(error);
}

// The file system has no place for this piece of what protects a file: FAT keeps no owners, and
// a FUSE driver may implement no chown or chmod at all. It cannot be kept, and the replace goes
// on without it.
bool cannotHold(int error)
{
    return error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

// The attributes a copy should carry: the access list, the user's own and the security labels.
// File capabilities stay behind: they were granted to the old contents, not to these.
bool isCarried(const QByteArray &name)
{
    if (name == "security.capability")
        return false;
    return name == aclAttribute || name.startsWith("user.") || name.startsWith("security.");
}

// listxattr and getxattr fill a buffer that must be sized first; the size may change between
// the calls, so they are retried.
template <typename Call>
std::optional<QByteArray> readSized(Call call)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        const ssize_t size = call(nullptr, 0);
        if (size < 0)
            return std::nullopt;
        QByteArray buffer(size, Qt::Uninitialized);
        const ssize_t got = call(buffer.data(), buffer.size());
        if (got >= 0)
            return buffer.left(got);
        if (errno != ERANGE)
            return std::nullopt;
    }
    return std::nullopt;
}

bool isMember(gid_t group)
{
    if (group == ::getegid())
        return true;
    std::vector<gid_t> groups(std::size_t(::getgroups(0, nullptr) + 1));
    const int count = ::getgroups(int(groups.size()), groups.data());
    return count >= 0 &&
           std::find(groups.begin(), groups.begin() + count, group) != groups.begin() + count;
}

QString userName(uid_t user)
{
    const passwd *entry = ::getpwuid(user);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(user);
}

QString groupName(gid_t group)
{
    const struct group *entry = ::getgrgid(group);
    return entry ? QString::fromLocal8Bit(entry->gr_name) : QString::number(group);
}

} // namespace

ReplacedFile::ReplacedFile(int folder, const QByteArray &name, const struct stat &info)
    : m_info(info)
    , m_newGroup(::getegid())
{
    struct stat folderInfo = {};
    if (::fstat(folder, &folderInfo) == 0 && (folderInfo.st_mode & S_ISGID) != 0)
        m_newGroup = folderInfo.st_gid;
    // Read through a descriptor of the very file checked; O_PATH needs no read permission.
    const FileDescriptor file(::openat(folder, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat now = {};
    if (!file.isValid() || ::fstat(file.get(), &now) != 0 || now.st_ino != info.st_ino ||
        now.st_dev != info.st_dev) {
        m_attributesUnreadable = true;
        return;
    }
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(file.get());
    const auto names = readSized(
        [&path](char *buffer, size_t size) { return ::listxattr(path.constData(), buffer, size); });
    if (!names) {
        m_attributesUnreadable = !cannotHold(errno);
        return;
    }
    for (const QByteArray &attribute : names->split('\0')) {
        if (!isCarried(attribute))
            continue;
        const auto value = readSized([&](char *buffer, size_t size) {
            return ::getxattr(path.constData(), attribute.constData(), buffer, size);
        });
        if (value)
            m_attributes.emplace_back(attribute, *value);
        else if (errno != ENODATA) // removed meanwhile: nothing to keep
            m_attributesUnreadable = true;
    }
    std::stable_partition(m_attributes.begin(), m_attributes.end(),
                          [](const auto &attribute) { return attribute.first != aclAttribute; });
}

// False, with errno, where the owner or group could not be set for a reason other than that this
// user may not set them or the file system cannot hold them.
bool ReplacedFile::carryOverOwner(int fd, const struct stat &now) const
{
    const uid_t owner = now.st_uid == m_info.st_uid ? uid_t(-1) : m_info.st_uid;
    const gid_t group = now.st_gid == m_info.st_gid ? gid_t(-1) : m_info.st_gid;
    if ((owner == uid_t(-1) && group == gid_t(-1)) || ::fchown(fd, owner, group) == 0)
        return true;
    // Not root: the group alone, where it is one of this user's.
    if (errno == EPERM && owner != uid_t(-1) && group != gid_t(-1) &&
        ::fchown(fd, uid_t(-1), group) == 0)
        return true;
    return errno == EPERM || cannotHold(errno);
}

bool ReplacedFile::ownerKept() const
{
    return ::geteuid() == 0 || m_info.st_uid == ::geteuid();
}

bool ReplacedFile::groupKept() const
{
    return ::geteuid() == 0 || m_info.st_gid == m_newGroup || isMember(m_info.st_gid);
}

QString ReplacedFile::caveat() const
{
    QStringList sentences;
    const bool owner = !ownerKept();
    const bool group = !groupKept();
    const QString you = tr("you (%1)").arg(userName(::geteuid()));
    const QString newGroup = tr("group %1").arg(groupName(m_newGroup));
    if (owner && group)
        sentences << tr("Its owner and group cannot be kept: the new file will belong to %1 and "
                        "%2.")
                         .arg(you, newGroup);
    else if (owner)
        sentences << tr("Its owner cannot be kept: the new file will belong to %1.").arg(you);
    else if (group)
        sentences << tr("Its group cannot be kept: the new file will belong to %1, whose "
                        "members get the access its group had.")
                         .arg(newGroup);
    if (m_attributesUnreadable)
        sentences << tr("Its extended attributes cannot be read, so the new file will not have "
                        "them.");
    return sentences.join(u' ');
}

// Owner and group first (a change of owner would drop set-id bits), then the bits, then the
// attributes, the access list last as it sets the group bits of its own. Only what differs is
// set: a file system without owners may fail even a chown that changes nothing.
std::optional<QString> ReplacedFile::carryOverTo(int fd) const
{
    struct stat now = {};
    if (::fstat(fd, &now) != 0)
        return reason(errno);
    if (!carryOverOwner(fd, now))
        return reason(errno);
    const mode_t bits = m_info.st_mode & 07777;
    if ((now.st_mode & 07777) != bits && ::fchmod(fd, bits) != 0 && !cannotHold(errno))
        return reason(errno);
    for (const auto &[name, value] : m_attributes) {
        if (::fsetxattr(fd, name.constData(), value.constData(), std::size_t(value.size()), 0) == 0)
            continue;
        // Labels that only the system may set stay behind; all else must be kept that the file
        // system can hold.
        if (cannotHold(errno) ||
            (name.startsWith("security.") && (errno == EPERM || errno == EACCES)))
            continue;
        return tr("its attribute %1 could not be kept (%2)")
            .arg(QString::fromLocal8Bit(name), reason(errno));
    }
    return std::nullopt;
}

} // namespace varnok
