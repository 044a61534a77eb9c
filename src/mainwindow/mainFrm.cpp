#include "mainFrm.h"

#include "ui_mainFrm.h"

#include "enterpressesbutton.h"
#include "filename.h"
#include "filepattern.h"
#include "folderscan.h"
#include "offthread.h"
#include "pathtoopen.h"
#include "volumes.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QUrl>

#include <algorithm>
#include <memory>
#include <utility>

namespace varnok {

namespace {

// A run shorter than this finishes before a progress bar would be worth reading.
constexpr qint64 progressDelayMs = 500;
constexpr int progressSteps = 1000;
// A run comes to its next block within this as a rule; one that does not waits on its drive.
constexpr int stuckRunMs = 500;
// A run told to stop ends within a block; one that has not after this waits on its drive.
constexpr int unstoppableRunMs = 2000;

// The first local file's exact path (see localFilePath()).
QString firstLocalPath(const QMimeData *mime)
{
    if (!mime->hasUrls())
        return {};
    for (const QUrl &url : mime->urls()) {
        if (url.isLocalFile())
            return localFilePath(url);
    }
    return {};
}

// path without its last part; the root itself ("/", "C:/") for an entry of a root.
QString folderOf(const QString &path)
{
    QString folder = path.first(std::max<qsizetype>(path.lastIndexOf(QLatin1Char('/')), 0));
    if (folder.isEmpty() || folder.endsWith(QLatin1Char(':')))
        folder += QLatin1Char('/');
    return folder;
}

// The window only reads a dropped path, so it takes a drop as a copy, or as a link where that
// is all the source offers; never as a move, which tells the source it may delete the original.
Qt::DropAction readingAction(Qt::DropActions offered)
{
    if (offered.testFlag(Qt::CopyAction))
        return Qt::CopyAction;
    if (offered.testFlag(Qt::LinkAction))
        return Qt::LinkAction;
    return Qt::IgnoreAction;
}

void setTextColour(QWidget *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

} // namespace

// A message or question in the middle of a run needs the ordinary pointer and the user's
// input; the run resumes afterwards.
class mainFrm::UserTurn final
{
public:
    explicit UserTurn(mainFrm &window)
        : m_window(window)
        , m_wasBusy(window.m_busy)
    {
        if (m_wasBusy)
            m_window.showDefaultPointer();
    }
    ~UserTurn()
    {
        if (m_wasBusy)
            m_window.showBusyPointer();
    }
    Q_DISABLE_COPY_MOVE(UserTurn)

private:
    mainFrm &m_window;
    bool m_wasBusy;
};

mainFrm::mainFrm(QWidget *parent)
    : QWidget(parent)
    , m_ui(new Ui::mainFrm)
{
    m_ui->setupUi(this);
    Shape1 = {m_ui->Shape1_0, m_ui->Shape1_1};
    setFixedSize(size());
    setAcceptDrops(true);
    applyFontsAndColours();

    // Drops anywhere on the window mean "open this file", never "insert this text".
    m_ui->txtpwd->setAcceptDrops(false);
    m_ui->txtSave->setAcceptDrops(false);
    m_ui->txtPatter->lineEdit()->setAcceptDrops(false);
    // Inline completion would turn a typed "*" into "*.*" before the list sees it.
    m_ui->txtPatter->setCompleter(nullptr);
    m_ui->txtPatter->setEditText(QStringLiteral("*.*"));

    for (QPushButton *button : {m_ui->Command1, m_ui->Command2, m_ui->Command3, m_ui->Command4})
        EnterPressesButton::install(button);
    connectHandlers();
    connect(&m_inputBlock, &InputBlock::escapePressed, this, &mainFrm::escapeDuringRun);
    m_askToStop.setSingleShot(true);
    m_askToStop.setInterval(stuckRunMs);
    connect(&m_askToStop, &QTimer::timeout, this, &mainFrm::askToStopIfStuck);
    m_letGo.setSingleShot(true);
    m_letGo.setInterval(unstoppableRunMs);
    connect(&m_letGo, &QTimer::timeout, this, &mainFrm::letGoIfStuck);
    connect(m_ui->txtSave, &QLineEdit::textEdited, this, [this] { m_chosenName.clear(); });
    // The folder list falls back to the root from a start folder it cannot list; the file list
    // follows it from the start, as it does on every change.
    DirList_Change();
    Form_Load();
    centreOnScreen();
    m_ui->Command4->setFocus();
}

mainFrm::~mainFrm()
{
    // Hiding the window on the way out moves the focus, and the pattern box answers a focus
    // loss with a notification of its own: no handler may run on a half-destroyed window.
    const QList<QObject *> controls = findChildren<QObject *>();
    for (QObject *control : controls)
        disconnect(control, nullptr, this, nullptr);
}

void mainFrm::applyFontsAndColours()
{
    QFont base(QStringLiteral("MS Sans Serif"));
    base.setPointSizeF(8.25);
    setFont(base);

    QFont title(QStringLiteral("Palatino Linotype"));
    title.setPointSizeF(24);
    title.setBold(true);
    title.setItalic(true);
    m_ui->Label1->setFont(title);
    m_ui->Label2->setFont(title);

    QFont note = base;
    note.setBold(true);
    m_ui->Label5->setFont(note);
    m_ui->runHint->setFont(note);

    QFont heading = note;
    heading.setPointSizeF(13.5);
    m_ui->Label3->setFont(heading);
    m_ui->Label4->setFont(heading);

    // The panel and the background picture are light whatever the desktop's palette, so every
    // label on them brings its own dark text rather than the palette's.
    setTextColour(m_ui->Label1, Qt::black);
    setTextColour(m_ui->Label2, Qt::black);
    setTextColour(m_ui->Label3, Qt::black);
    setTextColour(m_ui->Label4, Qt::black);
    setTextColour(m_ui->Label5, QColor(192, 0, 0));
    setTextColour(m_ui->runHint, Qt::black);
}

void mainFrm::connectHandlers()
{
    connect(m_ui->txtPatter->lineEdit(), &QLineEdit::textEdited, this, &mainFrm::txtPatter_Change);
    connect(m_ui->txtPatter, &QComboBox::activated, this, &mainFrm::txtPatter_Click);
    connect(m_ui->drvList, &DriveList::changed, this, &mainFrm::drvList_Change);
    connect(m_ui->DirList, &FolderList::changed, this, &mainFrm::DirList_Change);
    connect(m_ui->DirList, &FolderList::reread, m_ui->filList, &FileList::refresh);
    connect(m_ui->DirList, &FolderList::refused, this, &mainFrm::putDriveBack);
    connect(m_ui->filList, &FileList::entrySelected, this, &mainFrm::filList_Click);
    connect(m_ui->Command1, &QPushButton::clicked, this, &mainFrm::Command1_Click);
    connect(m_ui->Command2, &QPushButton::clicked, this, &mainFrm::Command2_Click);
    connect(m_ui->Command3, &QPushButton::clicked, this, &mainFrm::Command3_Click);
    connect(m_ui->Command4, &QPushButton::clicked, this, &mainFrm::Command4_Click);
}

void mainFrm::centreOnScreen()
{
    const QScreen *target = screen();
    if (target == nullptr)
        return;
    move(target->availableGeometry().center() - rect().center());
}

void mainFrm::Form_Load()
{
    const QStringList patterns = {QStringLiteral("*.*"), QStringLiteral("*.txt"),
                                  QStringLiteral("*.doc"), QStringLiteral("*.enc")};
    for (int position = 0; position < patterns.size(); ++position)
        m_ui->txtPatter->insertItem(position, patterns.at(position));
    applyPattern();
}

void mainFrm::applyPattern()
{
    m_ui->filList->setPattern(m_ui->txtPatter->currentText());
}

void mainFrm::txtPatter_Change()
{
    applyPattern();
}

void mainFrm::txtPatter_Click()
{
    applyPattern();
}

void mainFrm::drvList_Change()
{
    if (!m_ui->DirList->setDrive(m_ui->drvList->drive()))
        putDriveBack();
}

// The volume cannot be read, or is no longer mounted: go back, silently, to the one the folder
// list is still on. That raises drvList_Change once more for the restored volume.
void mainFrm::putDriveBack()
{
    m_ui->drvList->setDrive(m_ui->DirList->path());
    // A volume that has gone leaves the list.
    VolumeRegistry::instance().refresh();
}

void mainFrm::DirList_Change()
{
    m_ui->filList->setFolder(m_ui->DirList->path());
}

void mainFrm::filList_Click()
{
    const int index = m_ui->filList->selectedIndex();
    if (index >= 0)
        showChosenName(m_ui->filList->fileName(index));
}

// The box shows the name's readable form; the commands get the exact name, until the user
// edits the box and so names another file.
void mainFrm::showChosenName(const QString &exactName)
{
    m_ui->txtSave->setText(readableFileName(exactName));
    m_chosenName = exactName;
}

void mainFrm::Command1_Click()
{
    runCommand(&FileCommands::encrypt, Run::Encrypt);
}

void mainFrm::Command2_Click()
{
    runCommand(&FileCommands::decrypt, Run::Decrypt);
}

void mainFrm::runCommand(CommandThread::Command command, Run run)
{
    if (m_run != Run::None)
        return; // the commands refuse a second run meanwhile as well
    m_run = run;
    m_stopRequested = false;
    m_stopQuestion = StopQuestion::None;
    m_letGoStuck = false;
    const bool letGo = m_runner.run(command) == CommandThread::End::LetGo;
    m_askToStop.stop();
    m_letGo.stop();
    if (letGo) // its own calls to put the window back are no longer heard
        showDefaultPointer();
    if (std::exchange(m_letGoStuck, false)) {
        const QString text =
            run == Run::Encrypt
                ? tr("Encrypting %1 cannot be stopped now: the drive it is on does not answer. "
                     "The run ends by itself if the drive answers again; meanwhile the window "
                     "can be used as usual.")
                : tr("Decrypting %1 cannot be stopped now: the drive it is on does not answer. "
                     "The run ends by itself if the drive answers again; meanwhile the window "
                     "can be used as usual.");
        showMessage(text.arg(displayedFileName(fileName())));
    }
    m_run = Run::None;
    // Whatever the outcome, the lists show the folder as the command has left it.
    refreshLists();
    if (std::exchange(m_closeAfterRun, false))
        close();
}

// The folder list's re-read re-reads the file list too.
void mainFrm::refreshLists()
{
    m_ui->DirList->refresh();
}

// Coming back to the window, the user expects to see what other programs did meanwhile, as a
// file manager shows it. A run refreshes at its end instead.
void mainFrm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_run == Run::None)
        refreshLists();
}

void mainFrm::closeEvent(QCloseEvent *event)
{
    if (m_run == Run::None) {
        QWidget::closeEvent(event);
        return;
    }
    // A run is not cut off unasked. While bytes move, the user is asked whether to stop it;
    // otherwise (a question or message of the run is open) the window closes once it is over.
    event->ignore();
    m_closeAfterRun = true;
    if (m_busy) {
        m_stopQuestion = StopQuestion::Close;
        callForStopQuestion();
    }
}

void mainFrm::escapeDuringRun()
{
    if (m_stopQuestion != StopQuestion::None)
        return;
    m_stopQuestion = StopQuestion::Escape;
    callForStopQuestion();
}

// The run asks at its next block, where it pauses while the question is open; a run that does
// not come to one soon is stuck on its drive, and the window asks on its own.
void mainFrm::callForStopQuestion()
{
    m_runner.callSoon();
    m_askToStop.start();
}

void mainFrm::askToStopIfStuck()
{
    if (m_stopQuestion == StopQuestion::None || !m_busy || m_runner.isWaitingForHost())
        return;
    // Should the run come back meanwhile, it waits for the answer all the same.
    m_runner.hold();
    askToStop();
    m_runner.release();
}

// Told to stop, the run has not ended: it still waits on its drive, in a system call that only
// the drive can end. It is left to end by itself, and the window is given back to the user.
void mainFrm::letGoIfStuck()
{
    if (m_runner.isWaitingForHost()) { // it is back, and busy with the window
        m_letGo.start();
        return;
    }
    m_letGoStuck = true;
    m_runner.letGo();
}

// Asked between blocks, so the run pauses for as long as the question is open; No goes on
// where it stopped. A close answered No is dropped, answered Yes it closes after the run.
void mainFrm::askToStop()
{
    m_askToStop.stop();
    const bool closing = std::exchange(m_stopQuestion, StopQuestion::None) == StopQuestion::Close;
    const UserTurn turn(*this);
    const QString name = displayedFileName(fileName());
    QMessageBox box(QMessageBox::Question, QGuiApplication::applicationDisplayName(),
                    m_run == Run::Encrypt ? tr("Stop encrypting %1?").arg(name)
                                          : tr("Stop decrypting %1?").arg(name),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    m_stopRequested = box.exec() == QMessageBox::Yes;
    if (closing)
        m_closeAfterRun = m_stopRequested;
    if (m_stopRequested) {
        m_runner.callSoon(); // to hear it at once
        m_letGo.start();
    }
}

bool mainFrm::stopRequested()
{
    return m_stopRequested;
}

void mainFrm::Command3_Click()
{
    // Leaves the event loop without closing any window, so no window's closing steps run.
    QCoreApplication::exit(0);
}

void mainFrm::Command4_Click()
{
    m_about.run();
}

QString mainFrm::passwordText()
{
    return m_ui->txtpwd->text();
}

QString mainFrm::folderPath()
{
    return m_ui->DirList->path();
}

QString mainFrm::fileName()
{
    return m_chosenName.isEmpty() ? m_ui->txtSave->text() : m_chosenName;
}

void mainFrm::showBusyPointer()
{
    if (!m_busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_inputBlock.begin();
        // Nothing else can be done meanwhile, so how to stop is in sight with the hourglass.
        m_ui->runHint->show();
    }
    m_busy = true;
    m_runClock.start();
}

void mainFrm::showDefaultPointer()
{
    if (m_busy) {
        QApplication::restoreOverrideCursor();
        m_inputBlock.end();
    }
    m_busy = false;
    m_runClock.invalidate();
    m_ui->runProgress->hide();
    m_ui->runHint->hide();
}

void mainFrm::showMessage(const QString &text)
{
    const UserTurn turn(*this);
    QMessageBox box(QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText); // names in it are text, whatever they look like
    box.exec();
}

bool mainFrm::confirmReplace(const QString &path, const QString &caveat)
{
    if (m_stopRequested)
        return false; // the user asked to stop: nothing more is asked
    const UserTurn turn(*this);
    QString text = tr("%1 already exists in %2.\nDo you want to replace it?")
                       .arg(displayedFileName(lastPathPart(path)),
                            displayedFileName(QDir::toNativeSeparators(folderOf(path))));
    // What the new file cannot keep is said before the user answers, in its own paragraph.
    if (!caveat.isEmpty())
        text += QStringLiteral("\n\n") + caveat;
    QMessageBox box(QMessageBox::Question, QGuiApplication::applicationDisplayName(), text,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void mainFrm::showProgress(qint64 done, qint64 total)
{
    if (m_stopQuestion != StopQuestion::None)
        askToStop();
    if (!m_runClock.isValid())
        m_runClock.start();
    if (m_runClock.elapsed() >= progressDelayMs && total > 0) {
        m_ui->runProgress->setValue(static_cast<int>(done * progressSteps / total));
        m_ui->runProgress->show();
    }
}

void mainFrm::dragEnterEvent(QDragEnterEvent *event)
{
    takeDrop(event);
}

// Shift or Ctrl pressed during a drag changes the action the source proposes.
void mainFrm::dragMoveEvent(QDragMoveEvent *event)
{
    takeDrop(event);
}

void mainFrm::dropEvent(QDropEvent *event)
{
    if (takeDrop(event))
        openDroppedPath(firstLocalPath(event->mimeData()));
}

// Accepts the drag or drop with the action the window takes, or leaves it refused.
bool mainFrm::takeDrop(QDropEvent *event) const
{
    const Qt::DropAction action = readingAction(event->possibleActions());
    // A drop is input like any other: none is taken while a command runs.
    if (m_busy || action == Qt::IgnoreAction || firstLocalPath(event->mimeData()).isEmpty()) {
        event->ignore();
        return false;
    }
    event->setDropAction(action);
    event->accept();
    return true;
}

// A path on a drive that does not answer opens when, and if, it answers, unless the user has
// moved to another folder meanwhile.
void mainFrm::openDroppedPath(const QString &path)
{
    auto kind = std::make_shared<EntryKind>(EntryKind::Missing);
    const QString shownBefore = m_ui->DirList->path();
    const auto openIt = [this, path, kind] { openPathOfKind(path, *kind); };
    if (runOffThread([path, kind] { *kind = entryKindAt(path); }, answerWait, this,
                     [this, shownBefore, openIt] {
                         if (m_ui->DirList->path() == shownBefore)
                             openIt();
                     }))
        openIt();
}

void mainFrm::openPathOfKind(const QString &path, EntryKind dropped)
{
    if (dropped == EntryKind::Folder)
        showInPicker(path, {});
    else if (dropped != EntryKind::Missing)
        showInPicker(folderOf(path), lastPathPart(path));
}

// Looked up off the window's thread, as a drop is: a path on a drive that does not answer opens
// when, and if, it answers, unless the user has moved to another folder meanwhile.
void mainFrm::openGivenPath(const QString &path)
{
    auto target = std::make_shared<PathToOpen>();
    const QString shownBefore = m_ui->DirList->path();
    if (runOffThread([path, target] { *target = locatePath(path); }, answerWait, this,
                     [this, shownBefore, target] {
                         if (m_ui->DirList->path() == shownBefore)
                             openPath(*target);
                     }))
        openPath(*target);
}

void mainFrm::openPath(const PathToOpen &target)
{
    if (target.problem.isEmpty()) {
        showInPicker(target.folder, target.name);
        return;
    }
    // Queued: the message's parent must be on the screen first.
    QMetaObject::invokeMethod(
        this, [this, problem = target.problem] { showMessage(problem); }, Qt::QueuedConnection);
}

// Shows folder and, unless name is empty, chooses that file in it.
void mainFrm::showInPicker(const QString &folder, const QString &name)
{
    if (!m_ui->DirList->setPath(folder))
        return;
    // Moving the drive selector reopens the volume's last folder, which is now this one; the
    // second set only matters if the volume's folder could not be remembered.
    m_ui->drvList->setDrive(folder);
    m_ui->DirList->setPath(folder);
    if (!name.isEmpty())
        chooseFile(name);
}

// As a click on the file's entry would; a pattern that hides the file gives way to "*.*".
void mainFrm::chooseFile(const QString &name)
{
    if (!FilePattern(m_ui->txtPatter->currentText()).matches(readableFileName(name))) {
        m_ui->txtPatter->setEditText(QStringLiteral("*.*"));
        applyPattern();
    }
    m_ui->filList->selectFile(name);
    showChosenName(name);
}

} // namespace varnok
