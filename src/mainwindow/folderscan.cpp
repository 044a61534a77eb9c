#include "folderscan.h"

#include "filename.h"

#include <QThread>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

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

// Appends the case-folded form of name to keys. ASCII names, the usual case, are folded byte by
// byte; others go through Unicode folding.
void appendFoldedKey(std::string &keys, std::string_view name)
{
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
        const QByteArray raw =
            QByteArray::fromRawData(name.data(), static_cast<qsizetype>(name.size()));
        keys += decodeFileName(raw).toCaseFolded().toStdString();
        return;
    }
    for (const char c : name)
        keys += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::optional<QStringList> FolderReader::read(const QString &folder)
{
    std::optional<QByteArray> raw = readRaw(folder);
    if (!raw)
        return std::nullopt;
    if (folder != m_folder || *raw != m_raw) {
        m_names = decodeSorted(*raw);
        m_raw = std::move(*raw);
        m_folder = folder;
    }
    return m_names;
}

std::optional<QByteArray> FolderReader::readRaw(const QString &folder) const
{
    const QByteArray encoded = encodeFileName(folder);
    std::unique_ptr<DIR, DirCloser> dir(opendir(encoded.constData()));
    if (!dir)
        return std::nullopt;
    const int fd = dirfd(dir.get());
    const EntryKind wanted = m_kind == Kind::Files ? EntryKind::File : EntryKind::Folder;
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

// Sorted ignoring letter case, then by exact text so that the order is total. Each name is
// folded once into one shared key buffer, and the sort moves nothing but pairs of views into it:
// that is what keeps 100,000 names quick to sort.
QStringList FolderReader::decodeSorted(const QByteArray &names)
{
    struct Keyed
    {
        std::string_view key;
        std::string_view name;
        bool operator<(const Keyed &other) const
        {
            return std::tie(key, name) < std::tie(other.key, other.name);
        }
    };
    std::string keys;
    keys.reserve(static_cast<std::size_t>(names.size()));
    std::vector<std::pair<std::size_t, std::string_view>> ends; // end of each key, and the name
    for (const char *next = names.constData(); next < names.constData() + names.size();) {
        const std::string_view name(next);
        appendFoldedKey(keys, name);
        ends.emplace_back(keys.size(), name);
        next += name.size() + 1;
    }
    // Views into keys only now that it has stopped growing.
    std::vector<Keyed> keyed;
    keyed.reserve(ends.size());
    std::size_t start = 0;
    for (const auto &[end, name] : ends) {
        keyed.push_back({std::string_view(keys).substr(start, end - start), name});
        start = end;
    }
    std::sort(keyed.begin(), keyed.end());
    QStringList sorted;
    sorted.reserve(static_cast<qsizetype>(keyed.size()));
    for (const Keyed &entry : keyed) {
        sorted.append(decodeFileName(
            QByteArray::fromRawData(entry.name.data(), static_cast<qsizetype>(entry.name.size()))));
    }
    return sorted;
}

void readInBackground(const FolderReader &reader, const QString &folder, QObject *context,
                      FolderRead done)
{
    auto reading =
        std::make_shared<std::pair<FolderReader, std::optional<QStringList>>>(reader, std::nullopt);
    QThread *worker =
        QThread::create([reading, folder] { reading->second = reading->first.read(folder); });
    QObject::connect(worker, &QThread::finished, context,
                     [reading, done = std::move(done)] { done(reading->first, reading->second); });
    // Owned by nobody: a context destroyed meanwhile leaves the thread to finish and go.
    QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

} // namespace varnok
