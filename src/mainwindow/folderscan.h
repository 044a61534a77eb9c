#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

QT_BEGIN_NAMESPACE
class QObject;
QT_END_NAMESPACE

#include <functional>
#include <optional>

namespace varnok {

// Lists one kind of entry of a folder, as the picker shows it: hidden (dot) entries are left out
// and names are sorted ignoring letter case. Names and folders are as decodeFileName gives them,
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
    // The names in directory order, each followed by a NUL.
    std::optional<QByteArray> readRaw(const QString &folder) const;
    static QStringList decodeSorted(const QByteArray &names);

    Kind m_kind;
    QString m_folder;
    QByteArray m_raw;
    QStringList m_names;
};

using FolderRead =
    std::function<void(const FolderReader &reader, const std::optional<QStringList> &names)>;

// Reads folder on a thread of its own, so that a large folder does not hold up the window, with
// a copy of reader (whose cached listing spares the decoding and sorting when nothing changed).
// Then calls done in context's thread with that copy and the names; not at all when context
// is gone by then.
void readInBackground(const FolderReader &reader, const QString &folder, QObject *context,
                      FolderRead done);

} // namespace varnok
