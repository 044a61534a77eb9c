// Paths given to the program on Linux: bytes, resolved by the kernel.
#include "pathtoopen.h"

#include "filedescriptor.h"
#include "filename.h"

#include <QByteArray>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>

namespace varnok {

namespace {

struct FreeDeleter
{
    void operator()(char *text) const { std::free(text); }
};

} // namespace

PathToOpen locatePath(const QString &path)
{
    const QByteArray target = encodeFileName(path);
    struct stat info = {};
    if (::stat(target.constData(), &info) != 0)
        return unusablePath(path, qt_error_string(errno));
    const bool isFolder = S_ISDIR(info.st_mode);
    // A file's folder is the path up to its last '/'; a trailing '/' makes a folder of it, or
    // fails above.
    const qsizetype slash = target.lastIndexOf('/');
    QByteArray folder = target;
    if (!isFolder)
        folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : target.first(slash);
    // The picker lists the folder: it must open as one.
    if (!FileDescriptor(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)).isValid())
        return unusablePath(path, qt_error_string(errno));
    if (S_ISREG(info.st_mode) &&
        !FileDescriptor(::open(target.constData(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
             .isValid())
        return unusablePath(path, qt_error_string(errno));
    // Named as the process's current folder is, without links or "..": the picker's chain of
    // parents is then the real one.
    const std::unique_ptr<char, FreeDeleter> real(::realpath(folder.constData(), nullptr));
    if (!real)
        return unusablePath(path, qt_error_string(errno));
    return {decodeFileName(real.get()),
            isFolder ? QString() : decodeFileName(target.mid(slash + 1)),
            {}};
}

// QCoreApplication::arguments() decodes the bytes as UTF-8 and would replace what is not.
QStringList programArguments(int argc, char *argv[])
{
    QStringList arguments;
    for (int index = 0; index < argc; ++index)
        arguments << decodeFileName(argv[index]);
    return arguments;
}

} // namespace varnok
