#include "platformfiles.h"
#include "windowsreason.h"

#include <QRandomGenerator>
#include <QScopeGuard>

#include <algorithm>
#include <array>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include <aclapi.h>

namespace varnok {

namespace {

const QString stagedPrefix = QStringLiteral(".varnok-");
const QString stagedSuffix = QStringLiteral(".part");
constexpr int stagingAttempts = 100;

// The folder in the literal form ("\\?\C:\dir", "\\?\UNC\server\share\dir"), which reaches the
// file system as it stands, in any folder: Windows' own rules would otherwise take NUL or
// com1.txt for a device, drop a trailing space or dot from a name, and stop at MAX_PATH. Names
// that those rules would change are refused before a file is made (see windowsNameFault). The
// form takes no '/', no "." or ".." and no doubled separators.
QString literalFolder(const QString &folder)
{
    QString path = QDir::fromNativeSeparators(folder);
    if (path.startsWith(u"//?/") || path.startsWith(u"//./"))
        return QDir::toNativeSeparators(path); // literal already, or a device's
    if (!QDir::isAbsolutePath(path))           // relative to the current folder, or to a drive's
        path = QDir(path.isEmpty() ? QStringLiteral(".") : path).absolutePath();
    if (path.startsWith(u"//"))
        return QStringLiteral("\\\\?\\UNC\\") +
               QDir::toNativeSeparators(QDir::cleanPath(path.sliced(2)));
    return QStringLiteral("\\\\?\\") + QDir::toNativeSeparators(QDir::cleanPath(path));
}

// The path of name in folder as the wide calls take it, name exactly as given.
std::wstring widePath(const QString &folder, const QString &name = {})
{
    QString path = literalFolder(folder);
    if (!name.isEmpty() && !path.endsWith(u'\\'))
        path += u'\\';
    path += name;
    return path.toStdWString();
}

QString stagedFileName(const QString &suffix = stagedSuffix)
{
    const quint64 random = QRandomGenerator::system()->generate64();
    return stagedPrefix + QString::number(random, 36) + suffix;
}

// A handle that is closed when it goes.
class Handle final
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle)
        : m_handle(handle)
    {}
    ~Handle() { (void)close(); }
    Q_DISABLE_COPY_MOVE(Handle)

    HANDLE get() const { return m_handle; }
    bool isValid() const { return m_handle != INVALID_HANDLE_VALUE; }
    void reset(HANDLE handle)
    {
        (void)close();
        m_handle = handle;
    }
    // 0, or the error CloseHandle reported.
    [[nodiscard]] DWORD close()
    {
        const HANDLE handle = std::exchange(m_handle, INVALID_HANDLE_VALUE);
        return handle == INVALID_HANDLE_VALUE || ::CloseHandle(handle) ? 0 : ::GetLastError();
    }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// Opens what stands at path itself, a link or junction included, only to look at it.
HANDLE openEntry(const std::wstring &path, DWORD access)
{
    return ::CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION &a, const BY_HANDLE_FILE_INFORMATION &b)
{
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// The account sid names, as DOMAIN\name, or as the identifier itself.
QString accountName(PSID sid)
{
    std::array<wchar_t, 256> name{};
    std::array<wchar_t, 256> domain{};
    DWORD nameSize = name.size();
    DWORD domainSize = domain.size();
    SID_NAME_USE use = {};
    if (!::LookupAccountSidW(nullptr, sid, name.data(), &nameSize, domain.data(), &domainSize,
                             &use))
        return QStringLiteral("?");
    const QString account = QString::fromWCharArray(name.data(), nameSize);
    return domainSize > 0 ? QString::fromWCharArray(domain.data(), domainSize) + u'\\' + account
                          : account;
}

// The token's user, or its default owner for new objects (an administrators' group, say).
PSID tokenSid(HANDLE token, TOKEN_INFORMATION_CLASS which, std::array<char, 256> &buffer)
{
    DWORD size = 0;
    if (!::GetTokenInformation(token, which, buffer.data(), buffer.size(), &size))
        return nullptr;
    return which == TokenUser ? reinterpret_cast<const TOKEN_USER *>(buffer.data())->User.Sid
                              : reinterpret_cast<const TOKEN_OWNER *>(buffer.data())->Owner;
}

// ReplaceFileW keeps the old file's access list and attributes, but the new file belongs to
// whoever made it. Empty when that is the old one's owner, or when the old owner cannot be
// read (the access list still decides who may use the file).
QString ownerCaveat(const std::wstring &path)
{
    const Handle entry(openEntry(path, READ_CONTROL));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!entry.isValid() ||
        ::GetSecurityInfo(entry.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                          nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return QString();
    const auto freeDescriptor = qScopeGuard([descriptor] { ::LocalFree(descriptor); });
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return QString();
    const auto closeToken = qScopeGuard([token] { ::CloseHandle(token); });
    std::array<char, 256> userBuffer{};
    std::array<char, 256> ownerBuffer{};
    const PSID user = tokenSid(token, TokenUser, userBuffer);
    const PSID newOwner = tokenSid(token, TokenOwner, ownerBuffer);
    if (!user || ::EqualSid(owner, user) || (newOwner && ::EqualSid(owner, newOwner)))
        return QString();
    return QCoreApplication::translate("ReplacedFile",
                                       "Its owner (%1) cannot be kept: the new file will belong "
                                       "to you (%2).")
        .arg(accountName(owner), accountName(user));
}

// The name of the entry at path as its folder lists it, or nothing when none is found.
QString listedName(const std::wstring &path)
{
    WIN32_FIND_DATAW entry = {};
    const HANDLE search = ::FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry,
                                             FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return QString();
    ::FindClose(search);
    return QString::fromWCharArray(entry.cFileName);
}

bool setDeleteOnClose(HANDLE file, bool on)
{
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = on;
    return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                        sizeof disposition);
}

// The bytes of an open file handle, read or written where it stands; errors in the system's
// own words. Unbuffered: the stream moves whole blocks.
class HandleDevice final : public QIODevice
{
public:
    void setHandle(HANDLE handle) { m_handle = handle; }
    bool isSequential() const override { return false; }
    qint64 size() const override
    {
        LARGE_INTEGER size = {};
        return ::GetFileSizeEx(m_handle, &size) ? qint64(size.QuadPart) : 0;
    }

protected:
    qint64 readData(char *data, qint64 length) override
    {
        DWORD got = 0;
        if (!::ReadFile(m_handle, data, DWORD(std::min<qint64>(length, 1 << 30)), &got, nullptr))
            return failed();
        return got;
    }
    qint64 writeData(const char *data, qint64 length) override
    {
        DWORD put = 0;
        if (!::WriteFile(m_handle, data, DWORD(std::min<qint64>(length, 1 << 30)), &put, nullptr))
            return failed();
        return put;
    }

private:
    qint64 failed()
    {
        setErrorString(windowsReason(::GetLastError()));
        return -1;
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

// A new version of one file, written as a hidden file beside it that no other program may open
// meanwhile, and put in place of the name only once complete and on disk. Until then the system
// deletes it when its handle closes, so that no failure, stop or end of the process leaves it
// behind; a stale one (the process ended between the last two steps of commit) is removed by
// the next run in the folder, as no live one can be deleted while its handle is open.
class StagedOutput final
{
    Q_DECLARE_TR_FUNCTIONS(StagedOutput)

public:
    explicit StagedOutput(QString folder)
        : m_folder(std::move(folder))
    {}
    ~StagedOutput()
    {
        if (m_stagedPath.empty() || m_committed)
            return;
        if (m_file.isValid())
            setDeleteOnClose(m_file.get(), true);
        (void)m_file.close();
        ::DeleteFileW(m_stagedPath.c_str()); // gone already, unless the step above failed
    }
    Q_DISABLE_COPY_MOVE(StagedOutput)

    [[nodiscard]] DWORD create()
    {
        for (int attempt = 0; attempt < stagingAttempts; ++attempt) {
            const std::wstring path = widePath(m_folder, stagedFileName());
            // CREATE_NEW makes a new file or fails: nothing at the name, not even a link, is
            // opened. No sharing: while it is written no one else opens or deletes it.
            m_file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
            if (m_file.isValid()) {
                m_stagedPath = path;
                m_deleteOnClose = setDeleteOnClose(m_file.get(), true);
                return 0;
            }
            if (::GetLastError() != ERROR_FILE_EXISTS && ::GetLastError() != ERROR_ALREADY_EXISTS)
                return ::GetLastError();
        }
        return ERROR_FILE_EXISTS;
    }

    HANDLE handle() const { return m_file.get(); }

    // Gives the staged file the output's name. replaced: the file the user agreed to replace,
    // which must still stand there, or null when the name must still be free.
    [[nodiscard]] std::optional<QString> commit(const std::wstring &output,
                                                const BY_HANDLE_FILE_INFORMATION *replaced)
    {
        if (!::FlushFileBuffers(m_file.get()))
            return windowsReason(::GetLastError());
        // The file shows as the one it replaces did, or as a new file does; no longer hidden.
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes =
            replaced ? keptAttributes(replaced->dwFileAttributes) : FILE_ATTRIBUTE_ARCHIVE;
        if (!::SetFileInformationByHandle(m_file.get(), FileBasicInfo, &basic, sizeof basic))
            return windowsReason(::GetLastError());
        if (m_deleteOnClose && !setDeleteOnClose(m_file.get(), false))
            return windowsReason(::GetLastError());
        m_deleteOnClose = false;
        const Handle now(openEntry(output, FILE_READ_ATTRIBUTES));
        // Removed meanwhile: the new file simply takes the free name.
        if (!replaced || (!now.isValid() && ::GetLastError() == ERROR_FILE_NOT_FOUND))
            return rename(output);
        if (auto failure = checkStillThere(now, *replaced))
            return failure;
        if (const DWORD error = m_file.close())
            return windowsReason(error);
        return replace(output);
    }

private:
    static DWORD keptAttributes(DWORD attributes)
    {
        const DWORD kept =
            attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
        return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
    }

    // A rename of the open file itself, which never replaces what is at the name.
    std::optional<QString> rename(const std::wstring &output)
    {
        const std::size_t nameBytes = output.size() * sizeof(wchar_t);
        std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
        auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
        info->ReplaceIfExists = FALSE;
        info->RootDirectory = nullptr;
        info->FileNameLength = DWORD(nameBytes);
        std::copy(output.begin(), output.end(), info->FileName);
        if (!::SetFileInformationByHandle(m_file.get(), FileRenameInfo, info,
                                          DWORD(buffer.size()))) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
                return tr("another program created a file of that name meanwhile, which was "
                          "left as it is");
            return windowsReason(error);
        }
        m_committed = true;
        if (const DWORD error = m_file.close())
            return windowsReason(error); // named already: the bytes were flushed before
        return std::nullopt;
    }

    // The user agreed to replace one particular file; another one, or a link, put at the name
    // since is not covered by that.
    static std::optional<QString> checkStillThere(const Handle &now,
                                                  const BY_HANDLE_FILE_INFORMATION &replaced)
    {
        BY_HANDLE_FILE_INFORMATION info = {};
        if (!now.isValid() || !::GetFileInformationByHandle(now.get(), &info))
            return windowsReason(::GetLastError());
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            return tr("it was replaced by a link meanwhile, which was left as it is");
        if (!sameFile(info, replaced))
            return tr("it was replaced by another file meanwhile, which was left as it is");
        return std::nullopt;
    }

    // One step that keeps the old file's access list and attributes. The old file goes to a
    // hidden backup name first, so that a failure half-way can put it back; not a staged
    // file's name, which the next run would take for stale.
    std::optional<QString> replace(const std::wstring &output)
    {
        const std::wstring backup = widePath(m_folder, stagedFileName(QStringLiteral(".old")));
        if (!::ReplaceFileW(output.c_str(), m_stagedPath.c_str(), backup.c_str(), 0, nullptr,
                            nullptr)) {
            const DWORD error = ::GetLastError();
            // The old file went to the backup name, the new one could not follow: put it back.
            if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
                !::MoveFileExW(backup.c_str(), output.c_str(), 0))
                return tr("%1; the old file could not be put back and is kept as %2")
                    .arg(windowsReason(error), shownPath(QString::fromStdWString(backup)));
            return windowsReason(error);
        }
        m_committed = true;
        ::DeleteFileW(backup.c_str()); // held open by another program, it goes once closed
        return std::nullopt;
    }

    QString m_folder;
    std::wstring m_stagedPath;
    Handle m_file;
    bool m_deleteOnClose = false;
    bool m_committed = false;
};

} // namespace

struct RunFiles::State
{
    QString folderPath;
    QString input;
    QString output;
    QString inputName;
    QString outputName; // as the folder lists the file it replaces, once that is known
    Handle inputFile;
    BY_HANDLE_FILE_INFORMATION inputInfo = {};
    std::optional<BY_HANDLE_FILE_INFORMATION> existingOutput;
    QString caveat;
    std::optional<StagedOutput> staged;
    HandleDevice in;
    HandleDevice out;

    std::optional<QString> checkOutputName() const;
};

RunFiles::RunFiles(const QString &folderPath, const QString &inputName, const QString &outputName)
    : d(std::make_unique<State>())
{
    d->folderPath = folderPath;
    d->input = folderPath + u'/' + inputName;
    d->output = folderPath + u'/' + outputName;
    d->inputName = inputName;
    d->outputName = outputName;
}

RunFiles::~RunFiles() = default;

void RunFiles::prepareProcess() {}

// A separator of either kind, or a step to the folder itself or its parent.
bool RunFiles::isPath(const QString &name)
{
    return name.contains(u'/') || name.contains(u'\\') || name == u"." || name == u"..";
}

// Opens the input first and checks the open handle, so that the file checked is the file read.
// Others may read it meanwhile, or rename it, but not write to it. A name that Windows' rules
// would take for a device or cut short is opened as it stands: it is the file the folder lists.
std::optional<QString> RunFiles::openInput()
{
    const QString where = shownPath(d->input);
    if (const auto fault = windowsNameFault(d->inputName);
        fault.kind == WindowsNameFault::Character)
        return tr("Cannot open %1: Windows does not allow \u201c%2\u201d in a file name. If the "
                  "file was made on another system, please rename it there.")
            .arg(where, displayedFileName(fault.character, NamePlace::OnItsOwn));
    const std::wstring path = widePath(d->folderPath, d->inputName);
    d->inputFile.reset(::CreateFileW(path.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!d->inputFile.isValid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return tr("The file %1 was not found.").arg(where);
        // A folder opens only for backup programs; it says no more than that access is denied.
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            return tr("%1 is a folder, not a file.").arg(where);
        return tr("Could not open %1: %2").arg(where, windowsReason(error));
    }
    // Devices, pipes and consoles are no files to encrypt.
    if (::GetFileType(d->inputFile.get()) != FILE_TYPE_DISK)
        return tr("%1 is not a regular file.").arg(where);
    if (!::GetFileInformationByHandle(d->inputFile.get(), &d->inputInfo))
        return tr("Could not open %1: %2").arg(where, windowsReason(::GetLastError()));
    if ((d->inputInfo.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return tr("%1 is a folder, not a file.").arg(where);
    return std::nullopt;
}

// Removes the hidden staged files a run left behind. One still being written is open without
// sharing, so its deletion fails and it stays.
void RunFiles::removeStaleStagedFiles()
{
    WIN32_FIND_DATAW entry = {};
    const std::wstring pattern = widePath(d->folderPath, stagedPrefix + u'*');
    const HANDLE search = ::FindFirstFileW(pattern.c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE)
        return; // only tidying: the run itself does not depend on it
    do {
        const QString name = QString::fromWCharArray(entry.cFileName);
        const DWORD skipped = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
        if ((entry.dwFileAttributes & skipped) == 0 && name.endsWith(stagedSuffix) &&
            name.size() > stagedPrefix.size() + stagedSuffix.size())
            ::DeleteFileW(widePath(d->folderPath, name).c_str());
    } while (::FindNextFileW(search, &entry));
    ::FindClose(search);
}

// Looks at what stands at the output's name itself, never through a link or junction.
std::optional<QString> RunFiles::checkOutput()
{
    const QString where = shownPath(d->output);
    if (const auto refusal = d->checkOutputName())
        return refusal;
    const std::wstring path = widePath(d->folderPath, d->outputName);
    const Handle entry(openEntry(path, FILE_READ_ATTRIBUTES));
    if (!entry.isValid()) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return std::nullopt;
        return tr("Cannot write %1: %2").arg(where, windowsReason(error));
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (::GetFileType(entry.get()) != FILE_TYPE_DISK)
        return tr("Cannot write %1: it is not a regular file.").arg(where);
    if (!::GetFileInformationByHandle(entry.get(), &info))
        return tr("Cannot write %1: %2").arg(where, windowsReason(::GetLastError()));
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return tr("Cannot write %1: it is a symbolic link or junction, and files are never "
                  "written through links. Please remove or rename the link first.")
            .arg(where);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return tr("Cannot write %1: it is a folder.").arg(where);
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        return tr("Cannot replace %1: the file is write-protected.").arg(where);
    // A program that holds the file open without letting others remove it would make the
    // replacement fail at its end; it is found now, before the question.
    const Handle removable(openEntry(path, DELETE));
    if (!removable.isValid() && ::GetLastError() == ERROR_SHARING_VIOLATION)
        return tr("Cannot replace %1: %2").arg(where, windowsReason(ERROR_SHARING_VIOLATION));
    d->existingOutput = info;
    d->caveat = ownerCaveat(path);
    // The name may differ from the one the folder holds (in case, or as a short 8.3 alias): the
    // question names the file that is there, and the new file keeps its name.
    if (const QString listed = listedName(path); !listed.isEmpty()) {
        d->outputName = listed;
        d->output = d->folderPath + u'/' + listed;
    }
    return std::nullopt;
}

// The output's name is made from the input's, which may come from a system with other rules.
std::optional<QString> RunFiles::State::checkOutputName() const
{
    const QString where = shownPath(output);
    const QString shownInput = displayedFileName(inputName);
    switch (const auto fault = windowsNameFault(outputName); fault.kind) {
    case WindowsNameFault::Device:
        return tr("Cannot write %1: Windows keeps this name for a device. Please give %2 another "
                  "name first.")
            .arg(where, shownInput);
    case WindowsNameFault::TrailingSpaceOrDot:
        return tr("Cannot write %1: Windows cannot keep a name that ends in a space or a dot. "
                  "Please give %2 another name first.")
            .arg(where, shownInput);
    case WindowsNameFault::Character:
        return tr("Cannot write %1: Windows does not allow \u201c%2\u201d in a file name.")
            .arg(where, displayedFileName(fault.character, NamePlace::OnItsOwn));
    case WindowsNameFault::None:
        break;
    }
    return std::nullopt;
}

QString RunFiles::outputPath() const
{
    return d->output;
}

bool RunFiles::replacesFile() const
{
    return d->existingOutput.has_value();
}

QString RunFiles::replaceCaveat() const
{
    return d->caveat;
}

qint64 RunFiles::inputSize() const
{
    return qint64(d->inputInfo.nFileSizeHigh) << 32 | d->inputInfo.nFileSizeLow;
}

std::optional<QString> RunFiles::beginOutput()
{
    StagedOutput &staged = d->staged.emplace(d->folderPath);
    if (const DWORD error = staged.create())
        return tr("Could not write %1: %2").arg(shownPath(d->output), windowsReason(error));
    d->in.setHandle(d->inputFile.get());
    d->out.setHandle(staged.handle());
    d->in.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    d->out.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    return std::nullopt;
}

QIODevice &RunFiles::inputDevice()
{
    return d->in;
}

QIODevice &RunFiles::outputDevice()
{
    return d->out;
}

std::optional<QString> RunFiles::commit()
{
    d->out.close();
    const BY_HANDLE_FILE_INFORMATION *replaced = d->existingOutput ? &*d->existingOutput : nullptr;
    if (const auto failure = d->staged->commit(widePath(d->folderPath, d->outputName), replaced))
        return tr("Could not write %1: %2").arg(shownPath(d->output), *failure);
    return std::nullopt;
}

QString windowsReason(unsigned long error)
{
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString result = length > 0 ? QString::fromWCharArray(text, int(length)).trimmed()
                                : QStringLiteral("error %1").arg(error);
    ::LocalFree(text);
    if (result.endsWith(u'.'))
        result.chop(1);
    return result;
}

} // namespace varnok
