#pragma once

#include "filedescriptor.h"
#include "replacedfile.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <optional>

#include <sys/stat.h>

namespace varnok {

// A new version of one file, written where no one sees it and put in place of the name only
// once it is complete and on disk: a failure at any point leaves what stood at the name as it
// was, and no staged file behind.
//
// Where the file system allows, the file has no name at all until it is complete (O_TMPFILE),
// so that not even a kill or a power cut can leave part of it behind. Elsewhere it is a hidden
// ".varnok-*.part" beside the output, locked for as long as this object lives so that
// removeStaleStagedFiles() of another run never takes it, and removed at any exit the process
// sees (see removeStagedFilesAtExit()).
//
// Every step works on the folder's own descriptor, so the name is resolved in that folder
// alone, and the final step replaces the entry itself: a symbolic link at the name is never
// followed, nothing outside the folder is ever created or replaced.
class StagedOutput final
{
    Q_DECLARE_TR_FUNCTIONS(StagedOutput)

public:
    // folder: an open descriptor of the output's folder, which must outlive this object.
    StagedOutput(int folder, QByteArray name);
    ~StagedOutput();
    Q_DISABLE_COPY_MOVE(StagedOutput)

    // Creates the staged file, with mode less the process umask as its permission bits.
    // Returns 0 or the errno of the failure.
    [[nodiscard]] int create(mode_t mode);
    int fd() const { return m_file.get(); }
    bool isNamed() const { return !m_stagedName.isEmpty(); }

    // Syncs and closes the staged file and gives it the name. replaced is the file the user
    // agreed to replace, which must still stand at the name and whose owner, group, permission
    // bits and attributes the new file takes on; null when the name must still be free.
    // Returns the reason of a failure, after which nothing has changed.
    [[nodiscard]] std::optional<QString> commit(const ReplacedFile *replaced);

private:
    [[nodiscard]] int createUnnamed(mode_t mode);
    [[nodiscard]] int createNamed(mode_t mode);
    [[nodiscard]] int hold();
    [[nodiscard]] std::optional<QString> checkStillThere(const struct stat &replaced) const;
    [[nodiscard]] std::optional<QString> linkUnnamed(const char *name);
    [[nodiscard]] std::optional<QString> putInPlace(const struct stat *replaced);
    void dropName() noexcept;

    int m_folder;
    QByteArray m_name;
    QByteArray m_stagedName; // empty while the file has no name
    FileDescriptor m_file;
    // A second descriptor of the staged file: it keeps the lock, and the file within reach for
    // naming, after m_file is closed to learn of lost writes.
    FileDescriptor m_held;
    bool m_committed = false;
};

// Syncs the folder, so that a rename in it survives a power cut. Returns 0 or the errno.
[[nodiscard]] int syncFolder(int folder);

// Removes the hidden staged files in folder that a run ended by SIGKILL or a power cut left
// there: those of this user that no live run holds.
void removeStaleStagedFiles(int folder);

// Removes the named staged files of the runs under way; for the ways out of the process that
// skip destructors (exit() from within the event loop, a fatal signal turned into an event).
void removeStagedFilesAtExit() noexcept;

} // namespace varnok
