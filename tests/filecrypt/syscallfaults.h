#pragma once

#include <QByteArray>

#include <functional>

// Makes chosen system calls fail, as a failing disk or a full one would make them, for the
// calls this test program makes itself and those of the libraries it loads. The calls are
// replaced for the whole program; they behave as usual until a fault is armed.
namespace syscallfaults {

// Sync: fsync and fdatasync; Writeback: sync_file_range where it waits for blocks written
// earlier, as when one of them did not reach the disk; TmpFile: openat of an unnamed file
// (O_TMPFILE), matched by the folder's path, as on a file system that has no unnamed files;
// Open: openat of a named file, matched by its path; Chown, Chmod, SetAttribute: fchown, fchmod
// and fsetxattr, as on a file system that keeps no owners or attributes.
enum class Call { Sync, Writeback, Close, TmpFile, Open, Chown, Chmod, SetAttribute };

// An error that is none: the call waits, as on a drive that does not answer, until disarm() or
// the next arm(). (Error 0 lets calls through and only counts them.)
inline constexpr int hang = -1;

// From now on, `call` on a descriptor whose path `strikes` fails with `error`. A close still
// frees the descriptor, as Linux does when close reports an error.
using PathMatch = std::function<bool(const QByteArray &path)>;
void arm(Call call, int error, PathMatch strikes);
void disarm();

// How many times the armed fault struck.
int strikes();

} // namespace syscallfaults
