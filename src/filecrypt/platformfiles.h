#pragma once

#include "filename.h"

#include <QCoreApplication>
#include <QDir>
#include <QIODevice>
#include <QString>

#include <memory>
#include <optional>

namespace varnok {

// How a path appears in a message: the system's separators, the name readable and inert.
inline QString shownPath(const QString &path)
{
    return displayedFileName(QDir::toNativeSeparators(path));
}

// The files of one Encrypt or Decrypt run, as the system in use keeps them: the input, opened
// first and checked on its open handle; the name the output will take, never written through a
// link; and the new output, staged as a hidden file beside it that takes the name only once all
// its bytes are on disk, and that no failure, stop or crash leaves behind for long.
// platformfiles_posix.cpp and platformfiles_win.cpp implement it; FileCommands uses only this.
// Failures come back as the sentence to show the user, with the system's own reason in it.
class RunFiles final
{
    Q_DECLARE_TR_FUNCTIONS(FileCommands)

public:
    // folderPath + '/' + a name is the path used in messages.
    RunFiles(const QString &folderPath, const QString &inputName, const QString &outputName);
    ~RunFiles();
    Q_DISABLE_COPY_MOVE(RunFiles)

    // Sets the process up for the commands, once, before the first run.
    static void prepareProcess();
    // Whether name leads out of its folder (a path) instead of naming a file.
    static bool isPath(const QString &name);

    // Opens the folder and, in it, the input, and checks the open file: a regular file.
    [[nodiscard]] std::optional<QString> openInput();
    // Removes the staged files a run that was killed left in the folder, if it could be opened.
    void removeStaleStagedFiles();
    // Checks what stands at the output's name without following a link: nothing, or a regular
    // file that may be replaced. Refuses before anything is created.
    [[nodiscard]] std::optional<QString> checkOutput();
    bool replacesFile() const;
    // The output's path; once checked, with the name of the file it replaces as the folder lists
    // it (a folder that ignores case finds letter.txt for LETTER.TXT).
    QString outputPath() const;
    // What the new file cannot keep of the one it replaces; empty when it keeps all.
    QString replaceCaveat() const;
    qint64 inputSize() const;

    // Creates the staged output and opens the devices the bytes go through.
    [[nodiscard]] std::optional<QString> beginOutput();
    QIODevice &inputDevice();
    QIODevice &outputDevice();
    // Puts the staged output, complete, in place of the output's name.
    [[nodiscard]] std::optional<QString> commit();

private:
    struct State;
    const std::unique_ptr<State> d;
};

} // namespace varnok
