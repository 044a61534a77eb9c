#pragma once

#include "filedescriptor.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>

#include <optional>

#include <sys/stat.h>

namespace varnok {

// A new version of one file, written to a hidden file beside it and put in place of the name
// only once it is complete and on disk: a failure at any point leaves what stood at the name
// as it was, and no staged file behind.
//
// Every step works on the folder's own descriptor, so the name is resolved in that folder
// alone, and the final rename replaces the entry itself: a symbolic link at the name is never
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

    // Syncs and closes the staged file and renames it to the name. replaced describes the file
    // the user agreed to replace, which must still stand at the name and whose owner, group and
    // permission bits the new file takes on; null when the name must still be free. Returns the
    // reason of a failure, after which nothing has changed.
    [[nodiscard]] std::optional<QString> commit(const struct stat *replaced);

private:
    [[nodiscard]] std::optional<QString> takeOver(const struct stat &replaced);
    [[nodiscard]] std::optional<QString> checkStillThere(const struct stat &replaced) const;
    [[nodiscard]] std::optional<QString> putInPlace(const struct stat *replaced);

    int m_folder;
    QByteArray m_name;
    QByteArray m_stagedName;
    FileDescriptor m_file;
    bool m_committed = false;
};

// Syncs the folder, so that a rename in it survives a power cut. Returns 0 or the errno.
[[nodiscard]] int syncFolder(int folder);

} // namespace varnok
