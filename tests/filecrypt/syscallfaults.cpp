#include "syscallfaults.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>

#include <cstdarg>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

namespace syscallfaults {

namespace {

struct Fault
{
    Call call;
    int error;
    PathMatch strikes;
};

std::mutex faultMutex;
std::condition_variable disarmed;
std::optional<Fault> armed;
int armings = 0; // a hanging call goes on once the fault that holds it is replaced
std::atomic<int> strikeCount = 0;

QByteArray pathOf(int fd)
{
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target);
    return n > 0 ? QByteArray(target, n) : QByteArray();
}

// The errno to fail with, or 0 to let the call through; `name`, where given, is opened in fd.
int faultFor(Call call, int fd, const char *name = nullptr)
{
    std::unique_lock lock(faultMutex);
    if (!armed || armed->call != call ||
        !armed->strikes(name ? pathOf(fd).append('/').append(name) : pathOf(fd)))
        return 0;
    ++strikeCount;
    if (armed->error != hang)
        return armed->error;
    disarmed.wait(lock, [held = armings] { return !armed || armings != held; });
    return 0;
}

template <typename Function>
Function *real(const char *name)
{
    return reinterpret_cast<Function *>(::dlsym(RTLD_NEXT, name));
}

} // namespace

void arm(Call call, int error, PathMatch strikes)
{
    {
        const std::lock_guard lock(faultMutex);
        armed = Fault{call, error, std::move(strikes)};
        strikeCount = 0;
        ++armings;
    }
    disarmed.notify_all();
}

void disarm()
{
    {
        const std::lock_guard lock(faultMutex);
        armed.reset();
    }
    disarmed.notify_all();
}

int strikes()
{
    return strikeCount;
}

} // namespace syscallfaults

using syscallfaults::Call;

namespace {

// A sync that fails as armed, or else the real call.
int armedSync(int (*realCall)(int), int fd)
{
    if (const int error = syscallfaults::faultFor(Call::Sync, fd)) {
        errno = error;
        return -1;
    }
    return realCall(fd);
}

} // namespace

extern "C" int fsync(int fd)
{
    static auto *const realFsync = syscallfaults::real<int(int)>("fsync");
    return armedSync(realFsync, fd);
}

extern "C" int fdatasync(int fd)
{
    static auto *const realFdatasync = syscallfaults::real<int(int)>("fdatasync");
    return armedSync(realFdatasync, fd);
}

extern "C" int sync_file_range(int fd, off64_t offset, off64_t length, unsigned int flags)
{
    static auto *const realCall =
        syscallfaults::real<int(int, off64_t, off64_t, unsigned int)>("sync_file_range");
    // Only a call that waits for earlier writes learns that they failed.
    if ((flags & SYNC_FILE_RANGE_WAIT_AFTER) != 0) {
        if (const int error = syscallfaults::faultFor(Call::Writeback, fd)) {
            errno = error;
            return -1;
        }
    }
    return realCall(fd, offset, length, flags);
}

extern "C" int close(int fd)
{
    static auto *const realClose = syscallfaults::real<int(int)>("close");
    const int error = syscallfaults::faultFor(Call::Close, fd);
    const int result = realClose(fd);
    if (error == 0)
        return result;
    errno = error;
    return -1;
}

extern "C" int openat(int folder, const char *path, int flags, ...)
{
    static auto *const realOpenat = syscallfaults::real<int(int, const char *, int, ...)>("openat");
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
    if (const int error = unnamed ? syscallfaults::faultFor(Call::TmpFile, folder)
                                  : syscallfaults::faultFor(Call::Open, folder, path)) {
        errno = error;
        return -1;
    }
    return realOpenat(folder, path, flags, mode);
}

namespace {

template <typename Real, typename... Arguments>
int armedOnDescriptor(Call call, Real *realCall, int fd, Arguments... arguments)
{
    if (const int error = syscallfaults::faultFor(call, fd)) {
        errno = error;
        return -1;
    }
    return realCall(fd, arguments...);
}

} // namespace

extern "C" int fchown(int fd, uid_t owner, gid_t group)
{
    static auto *const realCall = syscallfaults::real<int(int, uid_t, gid_t)>("fchown");
    return armedOnDescriptor(Call::Chown, realCall, fd, owner, group);
}

extern "C" int fchmod(int fd, mode_t mode)
{
    static auto *const realCall = syscallfaults::real<int(int, mode_t)>("fchmod");
    return armedOnDescriptor(Call::Chmod, realCall, fd, mode);
}

extern "C" int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags)
{
    static auto *const realCall =
        syscallfaults::real<int(int, const char *, const void *, size_t, int)>("fsetxattr");
    return armedOnDescriptor(Call::SetAttribute, realCall, fd, name, value, size, flags);
}
