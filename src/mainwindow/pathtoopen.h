#pragma once

#include <QString>
#include <QStringList>

namespace varnok {

// Where the window opens for a path given to the program (`varnok PATH`, a file dropped on the
// program, "Open With"): the folder to show and, for a file, the name to choose in it.
struct PathToOpen
{
    QString folder;  // absolute, as the picker names folders; empty when the path is no use
    QString name;    // the file's exact name in folder; empty for a folder
    QString problem; // why the path is no use, with the system's reason; empty when it is
};

// Looks path up as the system resolves it: relative to the process's current folder, links
// followed, folder named by its real path (the file keeps the name it was given). A folder
// must open for listing, a regular file for reading; whatever else stands there (a device, a
// pipe) is taken as a file and left to the commands to refuse.
// System calls and nothing else, no shared state: it may run on any thread, so that a volume
// that does not answer need not hold up the window.
PathToOpen locatePath(const QString &path);

// The program's arguments (argc and argv as QApplication leaves them), each as the exact path it
// names: on Linux a name that is not UTF-8 keeps its bytes (see decodeFileName).
QStringList programArguments(int argc, char *argv[]);

// For locatePath() on each system.
PathToOpen unusablePath(const QString &path, const QString &reason);

} // namespace varnok
