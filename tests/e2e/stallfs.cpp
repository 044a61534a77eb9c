// A read-only FUSE file system that stops answering on request, as a network share does whose
// server has gone: while the marker file exists, its statfs and the opening of its one file,
// stuck.txt, wait. Listing it and looking at its file answer at once. It ends, and unmounts,
// once the process that started it has ended and nothing waits any more.
//
//     stallfs MARKER MOUNTPOINT [FUSE options]

#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <csignal>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const char *marker = nullptr;
constexpr char stuckPath[] = "/stuck.txt";
constexpr char content[] = "behind a drive that does not answer\n";

void waitWhileStalled()
{
    while (::access(marker, F_OK) == 0)
        ::usleep(10000);
}

int getAttributes(const char *path, struct stat *info, fuse_file_info *)
{
    *info = {};
    if (std::strcmp(path, "/") == 0) {
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
    } else if (std::strcmp(path, stuckPath) == 0) {
        info->st_mode = S_IFREG | 0644;
        info->st_nlink = 1;
        info->st_size = sizeof content - 1;
    } else {
        return -ENOENT;
    }
    return 0;
}

int readFolder(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
               fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    for (const char *name : {".", "..", stuckPath + 1})
        fill(buffer, name, nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int openFile(const char *path, fuse_file_info *file)
{
    if (std::strcmp(path, stuckPath) != 0)
        return -ENOENT;
    if ((file->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    waitWhileStalled();
    return 0;
}

int readFile(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *)
{
    const off_t length = sizeof content - 1;
    if (offset >= length)
        return 0;
    const size_t count = std::min(size, size_t(length - offset));
    std::memcpy(buffer, content + offset, count);
    return int(count);
}

int fileSystemStatus(const char *, struct statvfs *status)
{
    waitWhileStalled();
    *status = {};
    status->f_bsize = 4096;
    status->f_blocks = 1024;
    status->f_namemax = 255;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    marker = argv[1];
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    fuse_operations operations = {};
    operations.getattr = getAttributes;
    operations.readdir = readFolder;
    operations.open = openFile;
    operations.read = readFile;
    operations.statfs = fileSystemStatus;
    argv[1] = argv[0]; // FUSE takes the rest: the mount point and its options
    return fuse_main(argc - 1, argv + 1, &operations, nullptr);
}
