#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QObject;
class QUrl;
QT_END_NAMESPACE

#include <chrono>
#include <functional>
#include <optional>

namespace varnok {

// Lists one kind of entry of a folder, as the picker shows it: hidden entries (dot names on Linux,
// entries marked hidden or system on Windows) are left out and names are sorted ignoring letter
// case. Names and folders are as decodeFileName gives them,
// so that every name, UTF-8 or not, leads back to its own entry.
//
// Reads straight from the directory stream, so that a folder of a hundred thousand files costs
// little more than the kernel's own listing. Every read really reads the folder, but names are
// decoded and sorted again only when the listing differs from the previous read's: the pattern
// box re-reads on each keystroke, and an unchanged folder should not be re-sorted each time.
class FolderReader final
{
public:
    enum class Kind {
        Files,      // regular files, and links to them
        Subfolders, // folders, and links to them
    };

    explicit FolderReader(Kind kind)
        : m_kind(kind)
    {}

    // Nothing when the folder cannot be opened (missing, not a folder, not listable). Entries
    // that vanish while the folder is read are simply missed.
    std::optional<QStringList> read(const QString &folder);

private:
    static QStringList decodeSorted(const QByteArray &names);

    Kind m_kind;
    QString m_folder;
    QByteArray m_raw;
    QStringList m_names;
};

// What the picker asks of the file system (folderscan_posix.cpp, folderscan_win.cpp).

// The names of folder's entries of kind that the picker lists, in directory order, each followed
// by a NUL; nothing when the folder cannot be listed.
std::optional<QByteArray> listFolder(const QString &folder, FolderReader::Kind kind);
// Lists folders another way from now on (tests: a folder that does not answer); an empty
// function restores listFolder().
using FolderListing =
    std::function<std::optional<QByteArray>(const QString &folder, FolderReader::Kind kind)>;
void setFolderListing(FolderListing listing);
// A name as listFolder() gives it, as the picker and the file commands take it.
QString decodeListedName(QByteArrayView name);

// What a path leads to, following links as opening it would.
enum class EntryKind { Missing, File, Folder, Other };
EntryKind entryKindAt(const QString &path);

// The exact path a local file URL names: on Linux a URL carries a name that is not UTF-8 as
// percent-encoded bytes, which QUrl::toLocalFile would decode into another name.
QString localFilePath(const QUrl &url);

// A folder's names, or nothing when it cannot be read.
using Listing = std::optional<QStringList>;

// Reads the folders of one list, each on a thread of its own: a large folder does not hold up
// the window, nor does one on a volume that does not answer. A folder that outlasted the wait
// once is not waited for again until it answers, and reads of it meanwhile join one under way
// instead of adding threads that would hang as well.
class FolderReads final
{
public:
    using Late = std::function<void(const Listing &names)>;

    FolderReads(FolderReader::Kind kind, QObject *context)
        : m_reader(kind)
        , m_context(context)
    {}

    // Reads folder: its names when it answers within wait; otherwise nothing, and late gets the
    // names in context's thread when, and if, it answers.
    std::optional<Listing> read(const QString &folder, std::chrono::milliseconds wait, Late late);

private:
    void land(const QString &folder, const FolderReader &reader, const Listing &names);

    // The last reader to finish: its cached listing spares the decoding and sorting when the
    // folder has not changed.
    FolderReader m_reader;
    QObject *m_context;
    // The folders being read after their wait ran out, and who waits for their names.
    QHash<QString, QList<Late>> m_waiting;
};

} // namespace varnok
