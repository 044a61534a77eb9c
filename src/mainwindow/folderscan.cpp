#include "folderscan.h"

#include <QThread>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace varnok {

namespace {

// Appends the case-folded form of name to keys. ASCII names, the usual case, are folded byte by
// byte; others go through Unicode folding.
void appendFoldedKey(std::string &keys, std::string_view name)
{
    const bool ascii = std::all_of(name.begin(), name.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) {
        const QByteArray raw =
            QByteArray::fromRawData(name.data(), static_cast<qsizetype>(name.size()));
        keys += decodeListedName(raw).toCaseFolded().toStdString();
        return;
    }
    for (const char c : name)
        keys += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::optional<QStringList> FolderReader::read(const QString &folder)
{
    std::optional<QByteArray> raw = listFolder(folder, m_kind);
    if (!raw)
        return std::nullopt;
    if (folder != m_folder || *raw != m_raw) {
        m_names = decodeSorted(*raw);
        m_raw = std::move(*raw);
        m_folder = folder;
    }
    return m_names;
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
        sorted.append(decodeListedName(
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
