#pragma once

#include "aboutcommand.h"
#include "commandhost.h"
#include "commandthread.h"
#include "folderscan.h"
#include "inputblock.h"

#include <QElapsedTimer>
#include <QScopedPointer>
#include <QTimer>
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
    // The same for a path given to the program: looked up off the window's thread first.
    void openGivenPath(const QString &path);

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
    void putDriveBack();
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

    void runCommand(CommandThread::Command command, Run run);
    void escapeDuringRun();
    void callForStopQuestion();
    void askToStop();
    void askToStopIfStuck();
    void letGoIfStuck();
    bool takeDrop(QDropEvent *event) const;
    void openDroppedPath(const QString &path);
    void openPathOfKind(const QString &path, EntryKind kind);
    void showInPicker(const QString &folder, const QString &name);
    void chooseFile(const QString &name);
    void showChosenName(const QString &exactName);

    const QScopedPointer<Ui::mainFrm> m_ui;
    // The two coloured bars of the left panel, by their index.
    std::array<QFrame *, 2> Shape1{};

    CommandThread m_runner{*this};
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
    // A run stuck on a drive that does not answer comes to no block: the window asks to stop on
    // its own, and, where stopping waits for the drive, lets the run go on alone.
    QTimer m_askToStop;
    QTimer m_letGo;
    bool m_letGoStuck = false;
    QElapsedTimer m_runClock;
};

} // namespace varnok
