// Paths given to the program on Windows: UTF-16, resolved by the system's own rules (a drive's
// current folder, UNC shares, the literal "\\?\" form).
#include "errormode_win.h"
#include "pathtoopen.h"
#include "volumes.h"
#include "windowsreason.h"

#include <QCoreApplication>
#include <QDir>

#include <string>
#include <string_view>

#include <windows.h>

namespace varnok {

namespace {

constexpr std::wstring_view literalPrefix = L"\\\\?\\";
constexpr std::wstring_view literalUncPrefix = L"\\\\?\\UNC\\";

// Runs a call that fills a buffer of a size it tells, as GetFullPathNameW and GetLongPathNameW
// do. Empty on failure.
template <typename Call>
std::wstring filled(Call call)
{
    std::wstring text(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size = call(text.data(), DWORD(text.size()));
        if (size == 0)
            return {};
        if (size < text.size()) {
            text.resize(size);
            return text;
        }
        text.resize(size);
    }
}

// The full path in the literal form where it is too long for the plain one.
std::wstring reachable(const std::wstring &full)
{
    if (full.size() < MAX_PATH - 12 || full.starts_with(literalPrefix))
        return full;
    if (full.starts_with(L"\\\\"))
        return std::wstring(literalUncPrefix) + full.substr(2);
    return std::wstring(literalPrefix) + full;
}

// A system path as the picker names folders: no literal prefix, '/' separators, a share as
// "//server/share".
QString pickerPath(std::wstring_view path)
{
    QString shown;
    if (path.starts_with(literalUncPrefix))
        shown = QStringLiteral("\\\\") +
                QString::fromStdWString(std::wstring(path.substr(literalUncPrefix.size())));
    else if (path.starts_with(literalPrefix))
        shown = QString::fromStdWString(std::wstring(path.substr(literalPrefix.size())));
    else
        shown = QString::fromStdWString(std::wstring(path));
    return cleanVolumePath(QDir::fromNativeSeparators(shown));
}

bool opens(const std::wstring &path, DWORD access, DWORD flags)
{
    const HANDLE handle =
        ::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(handle);
    return true;
}

} // namespace

PathToOpen locatePath(const QString &path)
{
    const QuietDriveErrors quiet;
    const std::wstring given = QDir::toNativeSeparators(path).toStdWString();
    const std::wstring full = filled([&given](wchar_t *buffer, DWORD size) {
        return ::GetFullPathNameW(given.c_str(), size, buffer, nullptr);
    });
    if (full.empty())
        return unusablePath(path, windowsReason(::GetLastError()));
    const std::wstring target = reachable(full);
    const DWORD attributes = ::GetFileAttributesW(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return unusablePath(path, windowsReason(::GetLastError()));
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A file's folder keeps its last '\': "C:" alone would be the drive's current folder.
    const std::wstring folder = isFolder ? target : target.substr(0, target.rfind(L'\\') + 1);
    // The picker lists the folder: it must open as one.
    if (!opens(folder, FILE_LIST_DIRECTORY, FILE_FLAG_BACKUP_SEMANTICS))
        return unusablePath(path, windowsReason(::GetLastError()));
    QString name;
    if (!isFolder) {
        if (!opens(target, GENERIC_READ, 0))
            return unusablePath(path, windowsReason(::GetLastError()));
        // The name as the folder lists it: the long one for a short "LETTER~1.TXT", in the
        // letter case it was given on disk.
        WIN32_FIND_DATAW entry = {};
        const HANDLE found = ::FindFirstFileW(target.c_str(), &entry);
        if (found == INVALID_HANDLE_VALUE)
            return unusablePath(path, windowsReason(::GetLastError()));
        ::FindClose(found);
        name = QString::fromWCharArray(entry.cFileName);
    }
    const std::wstring longFolder = filled([&folder](wchar_t *buffer, DWORD size) {
        return ::GetLongPathNameW(folder.c_str(), buffer, size);
    });
    return {pickerPath(longFolder.empty() ? folder : longFolder), name, {}};
}

// Windows hands the program its command line as UTF-16, which Qt keeps (less its own options).
QStringList programArguments(int, char *[])
{
    return QCoreApplication::arguments();
}

} // namespace varnok
