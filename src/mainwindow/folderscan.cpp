#include "folderscan.h"

#include <QFile>

#include <algorithm>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace varnok {

namespace {

enum class EntryKind { File, Folder, Other };

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
        struct stat info
        {
        };
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

std::optional<FolderEntries> scanFolder(const QString &folder)
{
    const QByteArray encoded = QFile::encodeName(folder);
    std::unique_ptr<DIR, DirCloser> dir(opendir(encoded.constData()));
    if (!dir)
        return std::nullopt;
    const int fd = dirfd(dir.get());
    FolderEntries entries;
    while (const dirent *entry = readdir(dir.get())) {
        if (entry->d_name[0] == '.')
            continue; // hidden, and the "." and ".." links
        const EntryKind kind = entryKind(fd, *entry);
        if (kind == EntryKind::File)
            entries.files << QFile::decodeName(entry->d_name);
        else if (kind == EntryKind::Folder)
            entries.subfolders << QFile::decodeName(entry->d_name);
    }
    return entries;
}

void sortForDisplay(QStringList &names)
{
    std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
        const int folded = a.compare(b, Qt::CaseInsensitive);
        return folded != 0 ? folded < 0 : a < b;
    });
}

} // namespace varnok
