#include "folderscan.h"

#include "offthread.h"

#include <QSet>

#include <algorithm>
#include <memory>
#include <mutex>
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

// Folders whose last read outlasted the wait, in every list: a list reading one of them does
// not wait for it again. GUI thread only.
QSet<QString> &foldersNotAnswering()
{
    static QSet<QString> folders;
    return folders;
}

std::mutex listingMutex;
FolderListing listingInUse; // empty: listFolder()

std::optional<QByteArray> listWithListingInUse(const QString &folder, FolderReader::Kind kind)
{
    FolderListing listing;
    {
        const std::lock_guard lock(listingMutex);
        listing = listingInUse;
    }
    return listing ? listing(folder, kind) : listFolder(folder, kind);
}

} // namespace

void setFolderListing(FolderListing listing)
{
    const std::lock_guard lock(listingMutex);
    listingInUse = std::move(listing);
}

std::optional<QStringList> FolderReader::read(const QString &folder)
{
    std::optional<QByteArray> raw = listWithListingInUse(folder, m_kind);
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

std::optional<Listing> FolderReads::read(const QString &folder, std::chrono::milliseconds wait,
                                         Late late)
{
    if (foldersNotAnswering().contains(folder)) {
        if (const auto waiting = m_waiting.find(folder); waiting != m_waiting.end()) {
            waiting->append(std::move(late)); // no second thread to hang as well
            return std::nullopt;
        }
        wait = std::chrono::milliseconds::zero();
    }
    auto job = std::make_shared<std::pair<FolderReader, Listing>>(m_reader, std::nullopt);
    const bool inTime =
        runOffThread([job, folder] { job->second = job->first.read(folder); }, wait, m_context,
                     [this, job, folder] { land(folder, job->first, job->second); });
    if (inTime) {
        m_reader = job->first;
        return job->second;
    }
    m_waiting[folder].append(std::move(late));
    if (wait > std::chrono::milliseconds::zero())
        foldersNotAnswering().insert(folder);
    return std::nullopt;
}

void FolderReads::land(const QString &folder, const FolderReader &reader, const Listing &names)
{
    m_reader = reader;
    foldersNotAnswering().remove(folder);
    // Taken first: a waiter may read again at once.
    const QList<Late> waiting = m_waiting.take(folder);
    for (const Late &late : waiting)
        late(names);
}

} // namespace varnok
