// The picker's file system access on Linux: names are bytes, read straight from the directory
// stream.
#include "filename.h"
#include "folderscan.h"

#include <QUrl>

#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace varnok {

namespace {

EntryKind kindFromMode(mode_t mode)
{
    if (S_ISREG(mode))
        return EntryKind::File;
    if (S_ISDIR(mode))
        return EntryKind::Folder;
    return EntryKind::Other;
}

// d_type answers without touching the inode; links and file systems that leave it unknown need
// one stat, which follows the link as opening the file later will.
EntryKind entryKind(int folderFd, const dirent &entry)
{
    switch (entry.d_type) {
    case DT_REG:
        return EntryKind::File;
    case DT_DIR:
        return EntryKind::Folder;
    case DT_LNK:
    case DT_UNKNOWN: {
        struct stat info = {};
        if (fstatat(folderFd, entry.d_name, &info, 0) != 0)
            return EntryKind::Other; // dangling link, or gone meanwhile
        return kindFromMode(info.st_mode);
    }
    default:
        return EntryKind::Other;
    }
}

struct DirCloser
{
    void operator()(DIR *dir) const { closedir(dir); }
};

} // namespace

std::optional<QByteArray> listFolder(const QString &folder, FolderReader::Kind kind)
{
    const QByteArray encoded = encodeFileName(folder);
    std::unique_ptr<DIR, DirCloser> dir(opendir(encoded.constData()));
    if (!dir)
        return std::nullopt;
    const int fd = dirfd(dir.get());
    const EntryKind wanted =
        kind == FolderReader::Kind::Files ? EntryKind::File : EntryKind::Folder;
    QByteArray names;
    while (const dirent *entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.')
            continue; // hidden, and the "." and ".." links
        if (entryKind(fd, *entry) == wanted) {
            names.append(entry->d_name);
            names.append('\0');
        }
    }
    return names;
}

QString decodeListedName(QByteArrayView name)
{
    return decodeFileName(name);
}

EntryKind entryKindAt(const QString &path)
{
    struct stat info = {};
    if (::stat(encodeFileName(path).constData(), &info) != 0)
        return EntryKind::Missing;
    return kindFromMode(info.st_mode);
}

QString localFilePath(const QUrl &url)
{
    return decodeFileName(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1()));
}

} // namespace varnok
