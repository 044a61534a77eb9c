#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace varnok {

// What a folder holds, as the picker shows it: hidden (dot) entries are left out.
struct FolderEntries
{
    QStringList files;      // regular files, and links to them
    QStringList subfolders; // folders, and links to them
};

// Reads the folder once, straight from the directory stream so that a folder of a hundred
// thousand files costs no more than the kernel's own listing. Returns nothing when the folder
// cannot be opened; entries that vanish while it is read are simply missed. Names come in the
// directory's own order.
std::optional<FolderEntries> scanFolder(const QString &folder);

// Sorts names for display: ignoring letter case, then by exact text so the order is total.
void sortForDisplay(QStringList &names);

} // namespace varnok
