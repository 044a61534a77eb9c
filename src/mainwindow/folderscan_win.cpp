// The picker's file system access on Windows: names are UTF-16, read with FindFirstFileExW.
#include "errormode_win.h"
#include "folderscan.h"

#include <QDir>
#include <QUrl>

#include <memory>
#include <string>

#include <windows.h>

namespace varnok {

namespace {

// Past MAX_PATH only the literal form reaches the file system, and that form takes no '/' and
// no "..".
std::wstring nativePath(const QString &path)
{
    const QString native = QDir::toNativeSeparators(path);
    if (native.size() < MAX_PATH - 12 || native.startsWith(QLatin1String("\\\\?\\")))
        return native.toStdWString();
    const QString clean = QDir::toNativeSeparators(QDir::cleanPath(path));
    if (clean.startsWith(QLatin1String("\\\\")))
        return QString(QLatin1String("\\\\?\\UNC\\") + clean.mid(2)).toStdWString();
    return QString(QLatin1String("\\\\?\\") + clean).toStdWString();
}

constexpr DWORD hiddenAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A link or junction is what it leads to, as opening it would find it; a dangling one is
// nothing the picker lists.
EntryKind listedKind(const std::wstring &folder, const WIN32_FIND_DATAW &entry)
{
    DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        attributes = GetFileAttributesW((folder + L'\\' + entry.cFileName).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DEVICE) != 0)
        return EntryKind::Other;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
}

bool isDotOrDotDot(const wchar_t *name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

struct FindCloser
{
    void operator()(HANDLE find) const { FindClose(find); }
};

} // namespace

std::optional<QByteArray> listFolder(const QString &folder, FolderReader::Kind kind)
{
    const QuietDriveErrors quiet; // an empty drive fails instead of asking for a disk
    std::wstring base = nativePath(folder);
    while (!base.empty() && base.back() == L'\\')
        base.pop_back();
    WIN32_FIND_DATAW entry = {};
    HANDLE found = FindFirstFileExW((base + L"\\*").c_str(), FindExInfoBasic, &entry,
                                    FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (found == INVALID_HANDLE_VALUE) {
        // A drive's empty root has not even "." and "..".
        const bool noEntries = GetLastError() == ERROR_FILE_NOT_FOUND;
        const DWORD attributes = GetFileAttributesW((base + L'\\').c_str());
        if (noEntries && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return QByteArray();
        return std::nullopt;
    }
    const std::unique_ptr<void, FindCloser> closer(found);
    const EntryKind wanted =
        kind == FolderReader::Kind::Files ? EntryKind::File : EntryKind::Folder;
    QByteArray names;
    do {
        if (isDotOrDotDot(entry.cFileName) || (entry.dwFileAttributes & hiddenAttributes) != 0)
            continue;
        if (listedKind(base, entry) == wanted) {
            names.append(QString::fromWCharArray(entry.cFileName).toUtf8());
            names.append('\0');
        }
    } while (FindNextFileW(found, &entry));
    return names;
}

QString decodeListedName(QByteArrayView name)
{
    return QString::fromUtf8(name);
}

EntryKind entryKindAt(const QString &path)
{
    const QuietDriveErrors quiet;
    const DWORD attributes = GetFileAttributesW(nativePath(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
}

QString localFilePath(const QUrl &url)
{
    return url.toLocalFile();
}

} // namespace varnok
