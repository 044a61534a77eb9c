#pragma once

#include "aboutcommand.h"
#include "commandhost.h"
#include "filecommands.h"
#include "inputblock.h"
#include "rc4.h"

#include <QElapsedTimer>
#include <QScopedPointer>
#include <QWidget>

#include <array>

class QCloseEvent;
class QDragEnterEvent;
class QDragMoveEvent;
class QDropEvent;
class QFrame;

namespace Ui {
class mainFrm;
}

namespace varnok {

struct PathToOpen;

// The start-up window: a decorative panel on the left, the file picker, the password and file
// name boxes and the four buttons on the right. It keeps the drive, folder and file lists in
// step and hosts the Encrypt and Decrypt commands.
class mainFrm final : public QWidget, public CommandHost
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(mainFrm)

public:
    explicit mainFrm(QWidget *parent = nullptr);
    ~mainFrm() override;

    // What the file commands read and show while they run.
    QString passwordText() override;
    QString folderPath() override;
    QString fileName() override;
    void showBusyPointer() override;
    void showDefaultPointer() override;
    void showMessage(const QString &text) override;
    bool confirmReplace(const QString &path, const QString &caveat) override;
    void showProgress(qint64 done, qint64 total) override;
    bool stopRequested() override;

    // Opens the picker on a path looked up with locatePath(), as if the user had gone there and
    // clicked the file. A path that is no use leaves the picker where it is, and the user is told
    // why once the window is up.
    void openPath(const PathToOpen &target);

protected:
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    class UserTurn;

    void Form_Load();
    void txtPatter_Change();
    void txtPatter_Click();
    void drvList_Change();
    void DirList_Change();
    void filList_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();

    void applyFontsAndColours();
    void connectHandlers();
    void centreOnScreen();
    void applyPattern();
    void refreshLists();
    enum class Run { None, Encrypt, Decrypt };
    // What asks whether to stop the run, at its next block.
    enum class StopQuestion { None, Escape, Close };

    void runCommand(void (FileCommands::*command)() noexcept, Run run);
    void escapeDuringRun();
    void askToStop();
    bool takeDrop(QDropEvent *event) const;
    void openDroppedPath(const QString &path);
    void showInPicker(const QString &folder, const QString &name);
    void chooseFile(const QString &name);
    void showChosenName(const QString &exactName);
    void passEvents();

    const QScopedPointer<Ui::mainFrm> m_ui;
    // The two coloured bars of the left panel, by their index.
    std::array<QFrame *, 2> Shape1{};

    Rc4State m_cipher;
    FileCommands m_commands{m_cipher, *this};
    AboutCommand m_about;

    // The exact name behind the file name box's text while that text is the one the program
    // put there (from the file list or a drop); empty once the user edits the box.
    QString m_chosenName;
    bool m_busy = false;
    InputBlock m_inputBlock{this};
    // Which command runs, its messages included; a close asked for meanwhile waits for the
    // end of the run, or asks to stop it while bytes move.
    Run m_run = Run::None;
    bool m_closeAfterRun = false;
    StopQuestion m_stopQuestion = StopQuestion::None;
    bool m_stopRequested = false;
    QElapsedTimer m_runClock;
    qint64 m_lastEventPass = 0;
};

} // namespace varnok
