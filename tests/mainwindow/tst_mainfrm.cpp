#include "driveletters.h"
#include "drivelist.h"
#include "filelist.h"
#include "filename.h"
#include "folderlist.h"
#include "fontsubstitutes.h"
#include "inputblock.h"
#include "mainFrm.h"
#include "pathtoopen.h"
#include "rc4.h"
#include "volumes.h"

#include "testfiles.h"
#ifndef Q_OS_WIN
#include "filecrypt/syscallfaults.h"
#endif

#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <algorithm>
#include <functional>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unistd.h>

using varnok::DriveList;
using varnok::FileList;
using varnok::FolderList;
using varnok::mainFrm;

using testfiles::rc4;
using testfiles::writeAll;

namespace {

const QString emptyPasswordText =
    QStringLiteral("You need to enter a password for encrypten or decrypten");
const QString password = QStringLiteral("Open sesame 42");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

#ifndef Q_OS_WIN // names are bytes only on Linux
// By the exact bytes of a path, which QFile cannot take for a name that is not UTF-8.
bool writeRaw(const QByteArray &path, const QByteArray &bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    const bool written = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
}

QByteArray readRaw(const QByteArray &path)
{
    QFile file;
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        return "<missing>";
    return file.readAll();
}
#endif

QStringList listedFiles(const FileList *list)
{
    QStringList names;
    for (int i = 0; i < list->count(); ++i)
        names << list->fileName(i);
    names.sort(Qt::CaseInsensitive);
    return names;
}

// What a modal message box looked like when it came up, before it was answered.
struct BoxSeen
{
    bool shown = false;
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QWidget *parent = nullptr;
    bool busyPointer = false;
};

// Waits, from inside whatever event loop runs next, for a modal message box, records it and
// answers it with `answer`.
void answerNextBox(BoxSeen *seen, std::function<void(QMessageBox *)> answer)
{
    auto *poll = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box == nullptr) {
            if (++*tries > 10000)
                poll->deleteLater();
            return;
        }
        poll->stop();
        poll->deleteLater();
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->format = box->textFormat();
        seen->buttons = box->standardButtons();
        seen->defaultButton = box->standardButton(box->defaultButton());
        seen->parent = box->parentWidget();
        seen->busyPointer = QApplication::overrideCursor() != nullptr &&
                            QApplication::overrideCursor()->shape() == Qt::WaitCursor;
        answer(box);
    });
    poll->start(1);
}

// As a keyboard answers: to the box's window, which hands the key to its focused button.
void pressKey(QMessageBox *box, Qt::Key key)
{
    QTest::keyClick(box->windowHandle(), key);
}

// A click as the window system delivers it: to the window, through its filters.
void clickThroughWindow(QWidget *widget, QPoint at = {-1, -1})
{
    if (at == QPoint(-1, -1))
        at = widget->rect().center();
    QTest::mouseClick(widget->window()->windowHandle(), Qt::LeftButton, {},
                      widget->mapTo(widget->window(), at));
}

// QTest has no keyClicks for a window.
void typeThroughWindow(QWindow *window, const char *text)
{
    for (; *text != 0; ++text)
        QTest::keyClick(window, *text);
}

void clickRow(QAbstractItemView *view, int row)
{
    clickThroughWindow(view->viewport(), view->visualRect(view->model()->index(row, 0)).center());
}

int rowOf(const QAbstractItemView *view, const QString &text)
{
    const QAbstractItemModel *model = view->model();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->index(row, 0).data().toString() ==
            varnok::displayedFileName(text, varnok::NamePlace::OnItsOwn))
            return row;
    }
    return -1;
}

} // namespace

class TestMainFrm : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startState();
    void startsInAFolderItCannotList_data();
    void startsInAFolderItCannotList();
    void panelIsPaintedInLayers_data();
    void panelIsPaintedInLayers();
    void fontsResolveToInstalledFaces_data();
    void fontsResolveToInstalledFaces();
    void tabOrderRunsFromAboutToPassword();
    void enterPressesOnlyTheFocusedButton_data();
    void enterPressesOnlyTheFocusedButton();
    void selectingFileFillsNameBox();
    void keysSelectFromTheFirstEntry_data();
    void keysSelectFromTheFirstEntry();
    void choosingEncPatternFilters();
    void typedPatternAppliesAfterEachKeystroke();
    void openingSubfolderKeepsNameAndPattern();
    void passwordTakesSixteenCharactersShownAsX();
    void unreadableDriveIsPutBackSilently_data();
    void unreadableDriveIsPutBackSilently();
    void volumesComeAndGo_data();
    void volumesComeAndGo();
    void encryptThenDecryptFromButtons();
    void emptyPasswordIsRefusedWithMessage_data();
    void emptyPasswordIsRefusedWithMessage();
    void replaceQuestion_data();
    void replaceQuestion();
    void failureLeavesDefaultPointerAndUsableWindow();
    void inputBlockDropsInput();
    void longRunDropsInputAndWritesSameBytes();
    void closeDuringRunEndsProgramAfterIt_data();
    void closeDuringRunEndsProgramAfterIt();
    void stopQuestionDuringRun_data();
    void stopQuestionDuringRun();
    void dropOpensFolderAndName_data();
    void dropOpensFolderAndName();
    void pathGivenToTheProgram();
    void namesThatAreNotUtf8_data();
    void namesThatAreNotUtf8();
    void namesAreShownAsText_data();
    void namesAreShownAsText();
    void listsShowTheFolderAsItNowIs_data();
    void listsShowTheFolderAsItNowIs();
    // Ends every event loop: keep it last.
    void exitEndsEventLoopWithoutClosingWindow();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    template <typename T>
    T *control(const char *name) const
    {
        auto *widget = m_window->findChild<T *>(QString::fromLatin1(name));
        if (widget == nullptr)
            qFatal("no control %s", name);
        return widget;
    }
    void typeInto(QLineEdit *edit, const QString &text);
    void clickFile(const QString &name);
    void openFolder(const QString &name);

    QString m_startFolder;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<mainFrm> m_window;
};

void TestMainFrm::initTestCase()
{
    QApplication::setApplicationName(QStringLiteral("Varnok"));
    varnok::installFontSubstitutes();
    m_startFolder = QDir::currentPath();
}

void TestMainFrm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(writeAll(path("notes.txt"), "Dear diary,\nnothing happened today.\n"));
    QVERIFY(writeAll(path("letter.doc"), "letter"));
    QVERIFY(writeAll(path("README"), "no dot in this name"));
    QVERIFY(writeAll(path("secret.enc"), "\x01\x02\x03"));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sub")));
    QVERIFY(writeAll(path("sub/inner.txt"), "inner"));
    QVERIFY(writeAll(path("sub/inner.doc"), "inner doc"));
    // The picker starts in the process's current folder.
    QVERIFY(QDir::setCurrent(m_dir->path()));
    m_window = std::make_unique<mainFrm>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
}

void TestMainFrm::cleanup()
{
    m_window.reset();
    QDir::setCurrent(m_startFolder);
    // By the names' bytes: QTemporaryDir leaves behind what it cannot decode (the Latin-1 names).
    testfiles::removeTree(m_dir->path());
    m_dir.reset();
}

void TestMainFrm::typeInto(QLineEdit *edit, const QString &text)
{
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(edit, Qt::Key_Delete);
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(edit, c.toLatin1());
        } else { // a key without a Qt key code of its own, as a keyboard layout gives it
            QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QCoreApplication::sendEvent(edit, &key);
        }
    }
}

void TestMainFrm::openFolder(const QString &name)
{
    auto *folders = control<FolderList>("DirList");
    const int row = rowOf(folders, name);
    QVERIFY2(row >= 0, qPrintable(name));
    const QRect rect = folders->visualRect(folders->model()->index(row, 0));
    // A double-click is a click followed by the second press that the system reports as one.
    QTest::mouseClick(folders->viewport(), Qt::LeftButton, {}, rect.center());
    QTest::mouseDClick(folders->viewport(), Qt::LeftButton, {}, rect.center());
}

void TestMainFrm::clickFile(const QString &name)
{
    auto *files = control<FileList>("filList");
    const int row = rowOf(files, name);
    QVERIFY2(row >= 0, qPrintable(name));
    clickRow(files, row);
}

void TestMainFrm::startState()
{
    QCOMPARE(m_window->windowTitle(), QStringLiteral("Varnok Encryptor"));
    QCOMPARE(m_window->minimumSize(), QSize(744, 529));
    QCOMPARE(m_window->maximumSize(), QSize(744, 529));

    auto *patterns = control<QComboBox>("txtPatter");
    QCOMPARE(patterns->currentText(), QStringLiteral("*.*"));
    QStringList entries;
    for (int i = 0; i < patterns->count(); ++i)
        entries << patterns->itemText(i);
    QCOMPARE(entries, QStringList({"*.*", "*.txt", "*.doc", "*.enc"}));

    const QString start = QFileInfo(m_dir->path()).canonicalFilePath();
    QCOMPARE(control<FolderList>("DirList")->path(), start);
    QCOMPARE(control<FileList>("filList")->folder(), start);
    QCOMPARE(listedFiles(control<FileList>("filList")),
             QStringList({"letter.doc", "notes.txt", "README", "secret.enc"}));
    QVERIFY(control<QLineEdit>("txtpwd")->text().isEmpty());
    QVERIFY(control<QLineEdit>("txtSave")->text().isEmpty());

    QCOMPARE(m_window->focusWidget(), control<QPushButton>("Command4"));
    // Screen readers need a name and a description for everything that takes input.
    for (const char *name : {"txtpwd", "txtSave", "txtPatter", "drvList", "DirList", "filList",
                             "Command1", "Command2", "Command3", "Command4"}) {
        QVERIFY2(!control<QWidget>(name)->accessibleName().isEmpty(), name);
        QVERIFY2(!control<QWidget>(name)->accessibleDescription().isEmpty(), name);
    }
    // On Linux a combo box's accessible name is its value; its label relation names it.
    for (const auto &[name, label] :
         {std::pair{"drvList", "Drive"}, std::pair{"txtPatter", "File name pattern"}}) {
        const auto labels = QAccessible::queryAccessibleInterface(control<QWidget>(name))
                                ->relations(QAccessible::Label);
        QCOMPARE(labels.size(), 1);
        QCOMPARE(labels.first().first->text(QAccessible::Name), QString::fromLatin1(label));
    }
    QCOMPARE(QAccessible::queryAccessibleInterface(control<QWidget>("runProgress"))
                 ->text(QAccessible::Description),
             QStringLiteral("Press Escape to stop"));
    for (auto *button : m_window->findChildren<QPushButton *>()) {
        QVERIFY2(!button->isDefault() && !button->autoDefault(), qPrintable(button->text()));
    }
}

// The window opens on the root instead; a start folder that does not answer (on a share whose
// server is gone) follows when it answers.
void TestMainFrm::startsInAFolderItCannotList_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("deleted") << "deleted";
    QTest::newRow("not listable") << "not listable";
    QTest::newRow("does not answer") << "does not answer";
}

void TestMainFrm::startsInAFolderItCannotList()
{
    QFETCH(QString, how);
#ifdef Q_OS_WIN
    if (how != QLatin1String("does not answer"))
        QSKIP("Windows keeps a process's current folder from being deleted, and locks folders "
              "by access lists");
#else
    if (how == QLatin1String("not listable") && geteuid() == 0)
        QSKIP("permissions do not stop root from listing a folder");
#endif
    const QString start = path("start");
    QVERIFY(QDir().mkpath(start));
    QVERIFY(writeAll(start + "/unseen.txt", "unseen"));
    QVERIFY(QDir::setCurrent(start));
    if (how == QLatin1String("deleted"))
        QVERIFY(QDir(start).removeRecursively());
    else if (how == QLatin1String("not listable"))
        QVERIFY(QFile::setPermissions(start, QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    auto answer = std::make_shared<QSemaphore>();
    const auto listed = [answer, start](const QString &folder, varnok::FolderReader::Kind kind) {
        if (folder == start)
            answer->acquire();
        return varnok::listFolder(folder, kind);
    };
    if (how == QLatin1String("does not answer"))
        varnok::setFolderListing(listed);

    mainFrm window;
    varnok::setFolderListing({});
    QFile::setPermissions(start,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const auto *folders = window.findChild<FolderList *>(QStringLiteral("DirList"));
    const QString shown = folders->path();
    QCOMPARE(shown, varnok::fileSystemRootOf(varnok::cleanVolumePath(start)));
    const auto *files = window.findChild<FileList *>(QStringLiteral("filList"));
    QCOMPARE(files->folder(), shown);
    FileList reference;
    reference.setFolder(shown);
    QCOMPARE(listedFiles(files), listedFiles(&reference));
    if (how == QLatin1String("does not answer")) {
        answer->release(2); // the folder list's read and the file list's
        QTRY_COMPARE(folders->path(), varnok::cleanVolumePath(start));
        QTRY_COMPARE(listedFiles(files), QStringList{"unseen.txt"});
    }
}

void TestMainFrm::panelIsPaintedInLayers_data()
{
    QTest::addColumn<bool>("dark");
    QTest::newRow("light desktop") << false;
    QTest::newRow("dark desktop") << true;
}

void TestMainFrm::panelIsPaintedInLayers()
{
    QFETCH(bool, dark);
    const QPalette light = QApplication::palette();
    if (dark) { // white text on dark ground, as a dark desktop theme sets it
        QPalette night(QColor(53, 53, 53));
        night.setColor(QPalette::WindowText, Qt::white);
        night.setColor(QPalette::Text, Qt::white);
        QApplication::setPalette(night);
        m_window = std::make_unique<mainFrm>();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    const QImage shot = m_window->grab().toImage();
    QCOMPARE(shot.pixelColor(10, 10), QColor(192, 0, 0));  // upper bar
    QCOMPARE(shot.pixelColor(10, 520), QColor(0, 0, 128)); // lower bar
    // The white panel lies above the background picture's first column.
    QCOMPARE(shot.pixelColor(320, 300), QColor(255, 255, 255));

    // The labels are drawn over the pictures, each in its own colour.
    const auto hasPixel = [&shot](const QRect &rect, const std::function<bool(QColor)> &match) {
        for (int y = rect.top(); y <= rect.bottom(); ++y) {
            for (int x = rect.left(); x <= rect.right(); ++x) {
                if (match(shot.pixelColor(x, y)))
                    return true;
            }
        }
        return false;
    };
    const auto red = [](QColor c) { return c.red() > 150 && c.green() < 60 && c.blue() < 60; };
    const auto black = [](QColor c) { return c.lightness() < 40; };
    QVERIFY(hasPixel(control<QWidget>("Label5")->geometry(), red));
    QVERIFY(hasPixel(control<QWidget>("Label3")->geometry(), black));
    QVERIFY(hasPixel(control<QWidget>("Label4")->geometry(), black));
    QVERIFY(hasPixel(control<QWidget>("Label1")->geometry().translated(0, 2), black));
    QVERIFY(hasPixel(control<QWidget>("Label2")->geometry(), black));
    QApplication::setPalette(light);
}

void TestMainFrm::fontsResolveToInstalledFaces_data()
{
    QTest::addColumn<QString>("family");
    QTest::newRow("controls") << QStringLiteral("MS Sans Serif");
    QTest::newRow("titles") << QStringLiteral("Palatino Linotype");
}

void TestMainFrm::fontsResolveToInstalledFaces()
{
    QFETCH(QString, family);
    // Without a substitute, fontconfig falls back to whatever it likes, often a face of a very
    // different width that the fixed layout cannot hold.
    const QString resolved = QFontInfo(QFont(family)).family();
    const QStringList substitutes = QFont::substitutes(family);
    QVERIFY2(std::any_of(substitutes.cbegin(), substitutes.cend(),
                         [&resolved](const QString &face) {
                             return resolved.startsWith(face, Qt::CaseInsensitive);
                         }),
             qPrintable(resolved));
}

void TestMainFrm::tabOrderRunsFromAboutToPassword()
{
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    QCOMPARE(QApplication::focusWidget(), control<QPushButton>("Command4"));

    const QStringList expected = {"Command3", "Command2",  "Command1", "filList", "DirList",
                                  "drvList",  "txtPatter", "txtSave",  "txtpwd",  "Command4"};
    QStringList visited;
    for (qsizetype step = 0; step < expected.size(); ++step) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget *focus = QApplication::focusWidget();
        // The pattern box's focus sits in its line edit.
        while (focus != nullptr && !expected.contains(focus->objectName()))
            focus = focus->parentWidget();
        visited << (focus != nullptr ? focus->objectName() : QStringLiteral("?"));
    }
    QCOMPARE(visited, expected);
}

void TestMainFrm::enterPressesOnlyTheFocusedButton_data()
{
    QTest::addColumn<QString>("focused");
    QTest::addColumn<int>("key");
    QTest::addColumn<bool>("keypad");
    // What the key did: the file a command wrote, "About" for the About window, or nothing.
    QTest::addColumn<QString>("pressed");
    const int enter = Qt::Key_Return;
    QTest::newRow("Enter on Encrypt") << "Command1" << enter << false << "notes.txt.enc";
    QTest::newRow("keypad Enter on Encrypt")
        << "Command1" << int(Qt::Key_Enter) << true << "notes.txt.enc";
    QTest::newRow("Enter on Decrypt") << "Command2" << enter << false << "notes";
    QTest::newRow("keypad Enter on About") << "Command4" << int(Qt::Key_Enter) << true << "About";
    // No default button: Enter anywhere else presses nothing.
    for (const char *name : {"txtSave", "txtpwd", "filList"})
        QTest::addRow("Enter on %s", name) << QString::fromLatin1(name) << enter << false << "";
    QTest::newRow("keypad Enter on txtPatter") << "txtPatter" << int(Qt::Key_Enter) << true << "";
    for (const char *name : {"Command1", "Command2", "Command4", "txtSave", "txtpwd"})
        QTest::addRow("Escape on %s", name)
            << QString::fromLatin1(name) << int(Qt::Key_Escape) << false << "";
}

void TestMainFrm::enterPressesOnlyTheFocusedButton()
{
    QFETCH(QString, focused);
    QFETCH(int, key);
    QFETCH(bool, keypad);
    QFETCH(QString, pressed);
    typeInto(control<QLineEdit>("txtpwd"), password);
    clickFile(QStringLiteral("notes.txt"));
    QWidget *target = m_window->findChild<QWidget *>(focused);
    if (auto *box = qobject_cast<QComboBox *>(target))
        target = box->lineEdit();
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key), keypad ? Qt::KeypadModifier : Qt::NoModifier);
    QTest::qWait(20);

    const QStringList topLevels = [] {
        QStringList names;
        for (const QWidget *widget : QApplication::topLevelWidgets()) {
            if (widget->isVisible())
                names << widget->objectName();
        }
        return names;
    }();
    QCOMPARE(topLevels.contains(QStringLiteral("frmAbout")), pressed == QLatin1String("About"));
    QCOMPARE(QFile::exists(path("notes.txt.enc")), pressed == QLatin1String("notes.txt.enc"));
    QCOMPARE(QFile::exists(path("notes")), pressed == QLatin1String("notes"));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QVERIFY(m_window->isVisible());
}

void TestMainFrm::selectingFileFillsNameBox()
{
    auto *name = control<QLineEdit>("txtSave");
    clickFile(QStringLiteral("notes.txt"));
    QCOMPARE(name->text(), QStringLiteral("notes.txt"));

    // Keys select as well; the next entry by name order.
    auto *files = control<FileList>("filList");
    QTest::keyClick(files, Qt::Key_Down);
    QCOMPARE(name->text(), files->fileName(files->selectedIndex()));
    QVERIFY(name->text() != QStringLiteral("notes.txt"));
    QVERIFY(!name->text().contains(u'/'));
}

void TestMainFrm::keysSelectFromTheFirstEntry_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<QString>("chosen");

    // Tabbed into with nothing chosen; the entries are letter.doc, notes.txt, README, secret.enc.
    QTest::newRow("Down") << "*.*" << QList<int>{Qt::Key_Down} << "letter.doc";
    QTest::newRow("Home") << "*.*" << QList<int>{Qt::Key_Home} << "letter.doc";
    QTest::newRow("Up") << "*.*" << QList<int>{Qt::Key_Up} << "letter.doc";
    QTest::newRow("Down, Down") << "*.*" << QList<int>{Qt::Key_Down, Qt::Key_Down} << "notes.txt";
    QTest::newRow("End") << "*.*" << QList<int>{Qt::Key_End} << "secret.enc";
    QTest::newRow("a letter") << "*.*" << QList<int>{Qt::Key_R} << "README";
    QTest::newRow("one entry, Down") << "*.txt" << QList<int>{Qt::Key_Down} << "notes.txt";
    QTest::newRow("one entry, Up") << "*.txt" << QList<int>{Qt::Key_Up} << "notes.txt";
    QTest::newRow("one entry, Home") << "*.txt" << QList<int>{Qt::Key_Home} << "notes.txt";
}

void TestMainFrm::keysSelectFromTheFirstEntry()
{
    QFETCH(QString, pattern);
    QFETCH(QList<int>, keys);
    QFETCH(QString, chosen);
    typeInto(control<QComboBox>("txtPatter")->lineEdit(), pattern);
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    auto *encrypt = control<QPushButton>("Command1");
    encrypt->setFocus();
    QTest::keyClick(encrypt, Qt::Key_Tab);
    auto *files = control<FileList>("filList");
    QCOMPARE(QApplication::focusWidget(), files);

    for (int key : keys)
        QTest::keyClick(files, Qt::Key(key));
    QCOMPARE(files->fileName(files->selectedIndex()), chosen);
    QCOMPARE(control<QLineEdit>("txtSave")->text(), chosen);
}

void TestMainFrm::choosingEncPatternFilters()
{
    auto *patterns = control<QComboBox>("txtPatter");
    auto *files = control<FileList>("filList");
    const auto choose = [patterns](int row) {
        patterns->showPopup();
        QAbstractItemView *popup = patterns->view();
        QVERIFY(QTest::qWaitForWindowExposed(popup->window()));
        clickRow(popup, row);
    };

    choose(3);
    QCOMPARE(patterns->currentText(), QStringLiteral("*.enc"));
    QCOMPARE(listedFiles(files), QStringList({"secret.enc"}));

    choose(0);
    QCOMPARE(listedFiles(files), QStringList({"letter.doc", "notes.txt", "README", "secret.enc"}));
}

void TestMainFrm::typedPatternAppliesAfterEachKeystroke()
{
    QLineEdit *edit = control<QComboBox>("txtPatter")->lineEdit();
    auto *files = control<FileList>("filList");
    // Real focus, so that anything reacting to typing in a focused box takes part.
    QApplication::setActiveWindow(m_window.get());
    QVERIFY(QTest::qWaitForWindowActive(m_window.get()));
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);

    const QString typed = QStringLiteral("*.txt");
    for (qsizetype length = 1; length <= typed.size(); ++length) {
        QTest::keyClick(edit, typed.at(length - 1).toLatin1());
        QCOMPARE(edit->text(), typed.left(length));
        QCOMPARE(files->pattern(), typed.left(length));
        if (typed.left(length) == QStringLiteral("*.t"))
            QCOMPARE(files->count(), 0);
    }
    QCOMPARE(listedFiles(files), QStringList({"notes.txt"}));
    // Typing never adds the text to the list.
    QCOMPARE(control<QComboBox>("txtPatter")->count(), 4);
}

void TestMainFrm::openingSubfolderKeepsNameAndPattern()
{
    clickFile(QStringLiteral("notes.txt"));
    QLineEdit *patternEdit = control<QComboBox>("txtPatter")->lineEdit();
    typeInto(patternEdit, QStringLiteral("*.txt"));

    auto *folders = control<FolderList>("DirList");
    openFolder(QStringLiteral("sub"));

    const QString sub = QFileInfo(path("sub")).canonicalFilePath();
    QCOMPARE(folders->path(), sub);
    QCOMPARE(control<FileList>("filList")->folder(), sub);
    QCOMPARE(listedFiles(control<FileList>("filList")), QStringList({"inner.txt"}));
    QCOMPARE(control<QLineEdit>("txtSave")->text(), QStringLiteral("notes.txt"));
}

void TestMainFrm::passwordTakesSixteenCharactersShownAsX()
{
    auto *box = control<QLineEdit>("txtpwd");
    box->setFocus();
    QTest::keyClicks(box, QStringLiteral("abcdefghijklmnopq"));
    QCOMPARE(box->text(), QStringLiteral("abcdefghijklmnop"));
    QCOMPARE(box->displayText(), QString(16, u'X'));

    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, QStringLiteral(" !"));
    QCOMPARE(box->text(), QStringLiteral("abcdefghijklmno "));
}

void TestMainFrm::unreadableDriveIsPutBackSilently_data()
{
    QTest::addColumn<QString>("picked"); // a root, or a folder of the test's own
    QTest::addColumn<bool>("opens");
    QTest::newRow("a volume that has gone") << "vol-b" << false;
#ifdef Q_OS_WIN
    QTest::newRow("a drive letter no drive has") << freeDriveLetter() << false;
    QTest::newRow("Z:, the Unix root under Wine") << "Z:/" << true;
#endif
}

void TestMainFrm::unreadableDriveIsPutBackSilently()
{
    QFETCH(QString, picked);
    QFETCH(bool, opens);
    const QString good = QFileInfo(m_dir->path()).canonicalFilePath() + "/vol-a";
    const QString gone =
        picked.endsWith('/') ? picked : QFileInfo(m_dir->path()).canonicalFilePath() + '/' + picked;
    QVERIFY(!picked.isEmpty());
    QVERIFY(QDir().mkpath(good + "/deeper"));
    QVERIFY(writeAll(good + "/deeper/deep.txt", "deep"));
    auto *drives = control<DriveList>("drvList");
    auto *folders = control<FolderList>("DirList");
    auto *files = control<FileList>("filList");

    drives->setVolumeRoots({good, gone});
    QCOMPARE(drives->drive(), good);
    QCOMPARE(folders->path(), good);
    QVERIFY(folders->setPath(good + "/deeper"));
    QCOMPARE(files->folder(), good + "/deeper");

    // The user picks the other volume.
    drives->setFocus();
    QTest::keyClick(drives, Qt::Key_Down);
    QTest::qWait(20);

    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    if (opens) {
        QCOMPARE(drives->drive(), gone);
        QCOMPARE(files->folder(), gone);
        return;
    }
    QCOMPARE(drives->drive(), good);
    QCOMPARE(folders->path(), good + "/deeper");
    QCOMPARE(listedFiles(files), QStringList({"deep.txt"}));
}

void TestMainFrm::volumesComeAndGo_data()
{
    // Volumes are folders here; "mounted" are those the mount table lists, before and after a
    // change that the window has not yet heard of.
    QTest::addColumn<QStringList>("mountedBefore");
    QTest::addColumn<QString>("startOn");
    QTest::addColumn<QStringList>("mountedAfter");
    // "open" opens the drive list; "pick" chooses the next volume on the closed box.
    QTest::addColumn<QString>("action");
    QTest::addColumn<QStringList>("listed");

    const QStringList one{"good"};
    const QStringList two{"good", "stick"};
    QTest::newRow("plugged in, then the list opens") << one << "good" << two << "open" << two;
    QTest::newRow("pulled out, then the list opens") << two << "good" << one << "open" << one;
    QTest::newRow("pulled out, then picked") << two << "good" << one << "pick" << one;
    QTest::newRow("the one shown pulled out, then the list opens")
        << two << "stick" << one << "open" << one;
}

void TestMainFrm::volumesComeAndGo()
{
    QFETCH(QStringList, mountedBefore);
    QFETCH(QString, startOn);
    QFETCH(QStringList, mountedAfter);
    QFETCH(QString, action);
    QFETCH(QStringList, listed);
    const QString base = QFileInfo(m_dir->path()).canonicalFilePath() + '/';
    const auto rootsOf = [&base](const QStringList &names) {
        QStringList roots;
        for (const QString &name : names)
            roots << base + name;
        return roots;
    };
    // An unmounted stick leaves its mount point behind as an empty folder.
    QVERIFY(QDir().mkpath(base + "good/deeper"));
    QVERIFY(QDir().mkpath(base + "stick"));
    auto table = std::make_shared<QStringList>(rootsOf(mountedBefore));
    varnok::VolumeRegistry::instance().setSource([table] { return varnok::volumesAt(*table); });
    auto *drives = control<DriveList>("drvList");
    auto *folders = control<FolderList>("DirList");
    QVERIFY(folders->setPath(base + "good/deeper"));
    drives->setDrive(base + startOn);
    QCOMPARE(drives->drive(), base + startOn);

    *table = rootsOf(mountedAfter);
    if (action == QLatin1String("open")) {
        drives->showPopup();
        drives->hidePopup();
    } else {
        drives->setFocus();
        QTest::keyClick(drives, Qt::Key_Down);
    }

    QStringList shown;
    for (int row = 0; row < drives->count(); ++row)
        shown << drives->itemData(row).toString();
    QCOMPARE(shown, rootsOf(listed));
    QCOMPARE(drives->drive(), base + "good");
    QCOMPARE(folders->path(), base + "good/deeper");
    QCOMPARE(control<FileList>("filList")->folder(), base + "good/deeper");
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

void TestMainFrm::encryptThenDecryptFromButtons()
{
    const QByteArray plain = readAll(path("notes.txt"));
    typeInto(control<QLineEdit>("txtpwd"), password);
    clickFile(QStringLiteral("notes.txt"));
    clickThroughWindow(control<QPushButton>("Command1"));

    QCOMPARE(readAll(path("notes.txt.enc")), rc4(password, plain));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
    QCOMPARE(QApplication::overrideCursor(), nullptr);

    QVERIFY(QFile::remove(path("notes.txt")));
    typeInto(control<QLineEdit>("txtSave"), QStringLiteral("notes.txt.enc"));
    clickThroughWindow(control<QPushButton>("Command2"));
    QCOMPARE(readAll(path("notes.txt")), plain);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestMainFrm::emptyPasswordIsRefusedWithMessage_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("output");
    QTest::newRow("Encrypt") << QStringLiteral("Command1") << QStringLiteral("secret.enc.enc");
    QTest::newRow("Decrypt") << QStringLiteral("Command2") << QStringLiteral("secret");
}

void TestMainFrm::emptyPasswordIsRefusedWithMessage()
{
    QFETCH(QString, button);
    QFETCH(QString, output);
    clickFile(QStringLiteral("secret.enc"));
    BoxSeen seen;
    answerNextBox(&seen, [](QMessageBox *box) { pressKey(box, Qt::Key_Return); });
    clickThroughWindow(m_window->findChild<QPushButton *>(button));

    QVERIFY(seen.shown);
    QCOMPARE(seen.text, emptyPasswordText);
    QCOMPARE(seen.title, QStringLiteral("Varnok"));
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(seen.parent, m_window.get());
    QVERIFY(!seen.busyPointer);
    QVERIFY(!QFile::exists(path(output)));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestMainFrm::replaceQuestion_data()
{
    QTest::addColumn<int>("answerKey");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("Enter keeps the file") << int(Qt::Key_Return) << false;
    QTest::newRow("Escape keeps the file") << int(Qt::Key_Escape) << false;
    QTest::newRow("Y replaces it") << int(Qt::Key_Y) << true;
}

void TestMainFrm::replaceQuestion()
{
    QFETCH(int, answerKey);
    QFETCH(bool, replaced);
    const QByteArray previous = "an older encrypted copy that is longer than the new one";
    QVERIFY(writeAll(path("notes.txt.enc"), previous));
    typeInto(control<QLineEdit>("txtpwd"), password);
    clickFile(QStringLiteral("notes.txt"));

    BoxSeen seen;
    answerNextBox(&seen, [answerKey](QMessageBox *box) { pressKey(box, Qt::Key(answerKey)); });
    clickThroughWindow(control<QPushButton>("Command1"));

    QVERIFY(seen.shown);
    QVERIFY2(seen.text.contains(QStringLiteral("notes.txt.enc")), qPrintable(seen.text));
    QCOMPARE(seen.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(seen.defaultButton, QMessageBox::No);
    QCOMPARE(seen.parent, m_window.get());
    QVERIFY(!seen.busyPointer);
    QCOMPARE(readAll(path("notes.txt.enc")),
             replaced ? rc4(password, readAll(path("notes.txt"))) : previous);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
}

void TestMainFrm::failureLeavesDefaultPointerAndUsableWindow()
{
    typeInto(control<QLineEdit>("txtpwd"), password);
    typeInto(control<QLineEdit>("txtSave"), QStringLiteral("missing.txt"));
    BoxSeen seen;
    answerNextBox(&seen, [](QMessageBox *box) { pressKey(box, Qt::Key_Return); });
    clickThroughWindow(control<QPushButton>("Command1"));

    QVERIFY(seen.shown);
    QVERIFY2(seen.text.contains(QStringLiteral("missing.txt")), qPrintable(seen.text));
    QVERIFY(!seen.busyPointer);
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(!QFile::exists(path("missing.txt.enc")));
    QVERIFY(m_window->isEnabled());

    // The next command works as if nothing had happened.
    clickFile(QStringLiteral("letter.doc"));
    clickThroughWindow(control<QPushButton>("Command1"));
    QCOMPARE(readAll(path("letter.doc.enc")), rc4(password, "letter"));
}

void TestMainFrm::inputBlockDropsInput()
{
    QLineEdit edit;
    QLineEdit otherWindow;
    edit.show();
    otherWindow.show();
    QVERIFY(QTest::qWaitForWindowExposed(&edit));
    QWindow *const window = edit.windowHandle();
    edit.activateWindow();
    edit.setFocus();
    varnok::InputBlock block(&edit);
    QSignalSpy escapes(&block, &varnok::InputBlock::escapePressed);
    block.begin();
    // Escape in the escape window is reported once per press however long it is held, by the
    // window system's path (through the QWindow) as by one straight to a widget, and goes no
    // further; in another window it is dropped like any key.
    QTest::keyClick(window, Qt::Key_Escape);
    QTest::keyClick(&edit, Qt::Key_Escape);
    QTest::keyPress(window, Qt::Key_Escape);
    QKeyEvent repeated(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, QString(), true);
    QCoreApplication::sendEvent(&edit, &repeated);
    QCoreApplication::sendEvent(window, &repeated);
    QTest::keyClick(otherWindow.windowHandle(), Qt::Key_Escape);
    QTest::keyClick(&otherWindow, Qt::Key_Escape);
    QCOMPARE(escapes.count(), 3);
    typeThroughWindow(window, "abc");
    QTest::keyClicks(&edit, QStringLiteral("abc"));
    QTest::mouseClick(window, Qt::LeftButton, {}, edit.rect().center());
    QTest::mouseClick(&edit, Qt::LeftButton);
    QCoreApplication::postEvent(
        &edit, new QKeyEvent(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, QStringLiteral("x")));
    QCoreApplication::processEvents();
    QCOMPARE(edit.text(), QString());

    block.end();
    QCoreApplication::processEvents();
    QCOMPARE(edit.text(), QString()); // nothing given during the block comes back
    typeThroughWindow(window, "d");
    QCOMPARE(edit.text(), QStringLiteral("d"));
}

void TestMainFrm::longRunDropsInputAndWritesSameBytes()
{
    // Large enough for the run to let the window paint several times.
    QByteArray big(48 * 1024 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char((i * 7919) >> 5);
    QVERIFY(writeAll(path("big.bin"), big));
    typeInto(control<QLineEdit>("txtpwd"), password);
    typeInto(control<QLineEdit>("txtSave"), QStringLiteral("big.bin"));

    bool firedDuringRun = false;
    bool hintDuringRun = false;
    Qt::CursorShape pointerDuringRun = Qt::ArrowCursor;
    QString nameAfterClickDuringRun;
    auto *poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [&] {
        if (QApplication::overrideCursor() == nullptr)
            return;
        poll->stop();
        firedDuringRun = true;
        pointerDuringRun = QApplication::overrideCursor()->shape();
        hintDuringRun = control<QWidget>("runHint")->isVisible();
        clickFile(QStringLiteral("notes.txt"));
        nameAfterClickDuringRun = control<QLineEdit>("txtSave")->text();
        // Decrypt pressed during the run would, if kept for later, write big.bin less ".bin".
        clickThroughWindow(control<QPushButton>("Command2"));
        typeThroughWindow(m_window->windowHandle(), "typed");
    });
    poll->start(0);
    clickThroughWindow(control<QPushButton>("Command1"));
    poll->stop();
    delete poll;

    QVERIFY(firedDuringRun);
    QVERIFY(hintDuringRun); // "Press Escape to stop", in sight without hovering
    QCOMPARE(pointerDuringRun, Qt::WaitCursor);
    QCOMPARE(nameAfterClickDuringRun, QStringLiteral("big.bin"));
    QVERIFY(readAll(path("big.bin.enc")) == rc4(password, big));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(!control<QProgressBar>("runProgress")->isVisible());
    QVERIFY(!control<QWidget>("runHint")->isVisible());
    // Nothing given during the run acts once it is over.
    QCoreApplication::processEvents();
    QCOMPARE(control<QLineEdit>("txtSave")->text(), QStringLiteral("big.bin"));
    QVERIFY(!QFile::exists(path("big")));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
}

// A close while bytes move asks whether to stop (answered Yes here: the run stops and the
// program ends, leaving no output); one while a message of the run is open closes after it.
void TestMainFrm::closeDuringRunEndsProgramAfterIt_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<bool>("fails");
    QTest::newRow("the run is stopped") << "big.bin" << false;
    QTest::newRow("the run fails") << "missing.txt" << true;
}

void TestMainFrm::closeDuringRunEndsProgramAfterIt()
{
    QFETCH(QString, file);
    QFETCH(bool, fails);
    const QByteArray big(1024 * 1024, 'b');
    QVERIFY(writeAll(path("big.bin"), big));
    typeInto(control<QLineEdit>("txtpwd"), password);
    typeInto(control<QLineEdit>("txtSave"), file);

    // The window manager asks the window to close once the run has begun.
    bool closeAsked = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (QApplication::overrideCursor() == nullptr)
            return;
        poll.stop();
        closeAsked = true;
        m_window->windowHandle()->close();
    });
    poll.start(0);
    BoxSeen seen;
    bool shownAtMessage = false;
    answerNextBox(&seen, [&](QMessageBox *box) {
        shownAtMessage = m_window->isVisible();
        pressKey(box, fails ? Qt::Key_Return : Qt::Key_Y);
    });
    QTimer::singleShot(0, this, [this] { clickThroughWindow(control<QPushButton>("Command1")); });
    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, qApp, [] { QCoreApplication::exit(1); });
    giveUp.start(10000);

    const int ended = QApplication::exec(); // returns once the program ends
    giveUp.stop();
    QCOMPARE(ended, 0);
    QVERIFY(closeAsked);
    QVERIFY(!m_window->isVisible());
    QVERIFY(seen.shown);
    QVERIFY(shownAtMessage);
    QCOMPARE(seen.text.startsWith(QStringLiteral("Stop encrypting")), !fails);
    QVERIFY(!QFile::exists(path("big.bin.enc")));
    QVERIFY(!QFile::exists(path("missing.txt.enc")));
}

// During a run, Escape or a close request asks "Stop ...?", No by default. No goes on and
// writes exactly the bytes of an unbroken run; Yes stops, leaving every file as it was. A run
// stuck on a drive that does not answer is asked about all the same; told to stop, it cannot
// be, which the window says, and the window is the user's again while the run ends by itself.
void TestMainFrm::stopQuestionDuringRun_data()
{
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<bool>("byClose"); // else by Escape
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("outputExists");
    QTest::addColumn<bool>("stuck"); // opening the input waits until the test lets it go on
    const int no = Qt::Key_N;
    const int yes = Qt::Key_Y;
    QTest::newRow("Escape, Enter keeps going")
        << true << false << int(Qt::Key_Return) << false << false;
    QTest::newRow("Escape, No keeps going, decrypting") << false << false << no << false << false;
    QTest::newRow("Escape, Yes stops") << true << false << yes << false << false;
    QTest::newRow("Escape, Yes stops and keeps the old output")
        << true << false << yes << true << false;
    QTest::newRow("close, No keeps going and the window open")
        << true << true << no << false << false;
    QTest::newRow("close, Yes stops and closes") << true << true << yes << false << false;
    QTest::newRow("stuck, Escape, Yes gives the window back")
        << true << false << yes << false << true;
    QTest::newRow("stuck, close, Yes closes") << false << true << yes << false << true;
}

void TestMainFrm::stopQuestionDuringRun()
{
    QFETCH(bool, encrypt);
    QFETCH(bool, byClose);
    QFETCH(int, answer);
    QFETCH(bool, outputExists);
    QFETCH(bool, stuck);
    const QByteArray big(8 * 1024 * 1024, 'b');
    QVERIFY(writeAll(path("big.bin.enc"), big));
    const QString input = QStringLiteral("big.bin.enc");
#ifdef Q_OS_WIN
    if (stuck)
        QSKIP("a drive that does not answer is made by the Linux syscall interposer");
#else
    const QByteArray stuckInput = QFile::encodeName(QFileInfo(path(input)).canonicalFilePath());
    if (stuck)
        syscallfaults::arm(syscallfaults::Call::Open, syscallfaults::hang,
                           [stuckInput](const QByteArray &opened) { return opened == stuckInput; });
    const auto answered = qScopeGuard([] { syscallfaults::disarm(); });
#endif
    const QString output = encrypt ? path("big.bin.enc.enc") : path("big.bin");
    if (outputExists)
        QVERIFY(writeAll(output, "old"));
    const QStringList before = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden);
    typeInto(control<QLineEdit>("txtpwd"), password);
    typeInto(control<QLineEdit>("txtSave"), input);

    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (QApplication::overrideCursor() == nullptr)
            return;
        poll.stop();
        if (byClose)
            m_window->windowHandle()->close();
        else
            QTest::keyClick(m_window->windowHandle(), Qt::Key_Escape); // as a keyboard sends it
    });
    poll.start(0);
    BoxSeen replace;
    BoxSeen stop;
    BoxSeen cannotStop;
    const auto answerStop = [&] {
        answerNextBox(&stop, [&](QMessageBox *box) {
            if (stuck) // what the window says next
                connect(box, &QObject::destroyed, this, [&] {
                    answerNextBox(&cannotStop,
                                  [](QMessageBox *next) { pressKey(next, Qt::Key_Return); });
                });
            pressKey(box, Qt::Key(answer));
        });
    };
    if (outputExists)
        answerNextBox(&replace, [&](QMessageBox *box) {
            connect(box, &QObject::destroyed, this, answerStop); // the stop question comes next
            pressKey(box, Qt::Key_Y);
        });
    else
        answerStop();
    clickThroughWindow(control<QPushButton>(encrypt ? "Command1" : "Command2"));
    QCoreApplication::processEvents();

    QVERIFY(stop.shown);
    QCOMPARE(stop.text,
             (encrypt ? QStringLiteral("Stop encrypting ") : QStringLiteral("Stop decrypting ")) +
                 varnok::displayedFileName(input) + u'?');
    QCOMPARE(stop.buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(stop.defaultButton, QMessageBox::No);
    QVERIFY(!stop.busyPointer);
    const bool stopped = answer == Qt::Key_Y;
#ifndef Q_OS_WIN
    if (stuck) {
        QVERIFY2(cannotStop.text.contains(QStringLiteral("cannot be stopped now")),
                 qPrintable(cannotStop.text));
        if (!byClose) { // the window works meanwhile
            typeInto(control<QLineEdit>("txtSave"), QStringLiteral("notes.txt"));
            clickThroughWindow(control<QPushButton>("Command1"));
            QCOMPARE(readAll(path("notes.txt.enc")), rc4(password, readAll(path("notes.txt"))));
            QVERIFY(QFile::remove(path("notes.txt.enc")));
        }
        // The drive answers: the run ends by itself, writing nothing. Done with its input, it
        // closes it.
        syscallfaults::arm(syscallfaults::Call::Close, 0,
                           [stuckInput](const QByteArray &closed) { return closed == stuckInput; });
        QTRY_VERIFY(syscallfaults::strikes() > 0);
    }
#endif
    if (stopped) {
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::Hidden), before);
        QCOMPARE(readAll(output), outputExists ? QByteArray("old") : QByteArray());
    } else {
        QVERIFY(readAll(output) == rc4(password, big));
    }
    QCOMPARE(m_window->isVisible(), !(byClose && stopped));
    QCOMPARE(QApplication::overrideCursor(), nullptr);
    QVERIFY(!control<QProgressBar>("runProgress")->isVisible());
    QCOMPARE(QApplication::activeModalWidget(), nullptr); // no message follows a stop
}

void TestMainFrm::dropOpensFolderAndName_data()
{
    QTest::addColumn<QStringList>("dropped");
    // What the source offers; Shift asks for a move where one is offered.
    QTest::addColumn<int>("offered");
    QTest::addColumn<bool>("shift");
    // The action the window takes, or IgnoreAction when it refuses the drop.
    QTest::addColumn<int>("action");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("name");
    const int copy = Qt::CopyAction;
    const int refused = Qt::IgnoreAction;
    QTest::newRow("one file") << QStringList{"sub/inner.txt"} << copy << false << copy << "sub"
                              << "inner.txt";
    QTest::newRow("a folder") << QStringList{"sub"} << copy << false << copy << "sub"
                              << "kept.txt";
    QTest::newRow("several files, first counts")
        << QStringList{"sub/inner.doc", "notes.txt"} << copy << false << copy << "sub"
        << "inner.doc";
    QTest::newRow("nothing local") << QStringList{} << copy << false << refused << ""
                                   << "kept.txt";
    // The window only reads the path: a source told "moved" might delete the original.
    QTest::newRow("a move asked for, copy taken")
        << QStringList{"sub/inner.txt"} << int(Qt::CopyAction | Qt::MoveAction) << true << copy
        << "sub"
        << "inner.txt";
    QTest::newRow("only a move offered")
        << QStringList{"sub/inner.txt"} << int(Qt::MoveAction) << false << refused << ""
        << "kept.txt";
    QTest::newRow("only a link offered")
        << QStringList{"sub/inner.txt"} << int(Qt::LinkAction | Qt::MoveAction) << true
        << int(Qt::LinkAction) << "sub"
        << "inner.txt";
}

void TestMainFrm::dropOpensFolderAndName()
{
    QFETCH(QStringList, dropped);
    QFETCH(int, offered);
    QFETCH(bool, shift);
    QFETCH(int, action);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    typeInto(control<QLineEdit>("txtpwd"), password);
    typeInto(control<QLineEdit>("txtSave"), QStringLiteral("kept.txt"));
    typeInto(control<QComboBox>("txtPatter")->lineEdit(), QStringLiteral("*.*"));

    QMimeData mime;
    QList<QUrl> urls = {QUrl(QStringLiteral("https://example.org/file.txt"))};
    for (const QString &entry : dropped)
        urls << QUrl::fromLocalFile(path(entry));
    mime.setUrls(urls);
    const QPoint at(500, 300);
    const auto actions = Qt::DropActions(offered);
    const Qt::KeyboardModifiers modifiers = shift ? Qt::ShiftModifier : Qt::NoModifier;
    const bool accepted = action != Qt::IgnoreAction;
    QDragEnterEvent enter(at, actions, &mime, Qt::LeftButton, modifiers);
    QCoreApplication::sendEvent(m_window.get(), &enter);
    QCOMPARE(enter.isAccepted(), accepted);
    if (accepted) {
        QCOMPARE(int(enter.dropAction()), action);
        QDragMoveEvent move(at, actions, &mime, Qt::LeftButton, modifiers);
        QCoreApplication::sendEvent(m_window.get(), &move);
        QVERIFY(move.isAccepted());
        QCOMPARE(int(move.dropAction()), action);
        QDropEvent drop(at, actions, &mime, Qt::LeftButton, modifiers);
        QCoreApplication::sendEvent(m_window.get(), &drop);
        QVERIFY(drop.isAccepted());
        QCOMPARE(int(drop.dropAction()), action);
    }

    const QString expectedFolder = QFileInfo(path(folder)).canonicalFilePath();
    QCOMPARE(control<FolderList>("DirList")->path(), expectedFolder);
    QCOMPARE(control<FileList>("filList")->folder(), expectedFolder);
    QCOMPARE(control<DriveList>("drvList")->drive(),
             varnok::VolumeRegistry::instance().rootOf(expectedFolder));
    QCOMPARE(control<QLineEdit>("txtSave")->text(), name);
    const auto *files = control<FileList>("filList");
    const int selected = files->selectedIndex();
    QCOMPARE(selected < 0 ? QStringLiteral("kept.txt") : files->fileName(selected), name);
    QCOMPARE(control<QLineEdit>("txtpwd")->text(), password);
    QCOMPARE(control<FileList>("filList")->pattern(), QStringLiteral("*.*"));
}

// `varnok PATH` chooses the file as a click (or a drop) would, a pattern that hides it giving way
// to "*.*"; a path that is no use leaves the window as it was, after one message saying why.
void TestMainFrm::pathGivenToTheProgram()
{
    typeInto(control<QComboBox>("txtPatter")->lineEdit(), QStringLiteral("*.enc"));
    m_window->openPath(varnok::locatePath(QStringLiteral("sub/inner.txt")));
    const auto *files = control<FileList>("filList");
    const QString sub = QFileInfo(path("sub")).canonicalFilePath();
    QCOMPARE(control<FolderList>("DirList")->path(), sub);
    QCOMPARE(files->fileName(files->selectedIndex()), QStringLiteral("inner.txt"));
    QCOMPARE(control<QLineEdit>("txtSave")->text(), QStringLiteral("inner.txt"));
    QCOMPARE(files->pattern(), QStringLiteral("*.*"));

    BoxSeen seen; // once the window is up
    answerNextBox(&seen, [](QMessageBox *box) { pressKey(box, Qt::Key_Return); });
    m_window->openPath(varnok::locatePath(QStringLiteral("gone.txt")));
    QTRY_VERIFY(seen.shown);
    QVERIFY2(seen.text.startsWith(QStringLiteral("Could not open ")), qPrintable(seen.text));
    QCOMPARE(seen.parent, m_window.get());
    QCOMPARE(control<FolderList>("DirList")->path(), sub);
    QCOMPARE(control<QLineEdit>("txtSave")->text(), QStringLiteral("inner.txt"));
}

// Names from old archives are often Latin-1 or code page 437 bytes, not UTF-8. Every listed
// entry opens the very file it stands for, and the output's name is its exact bytes plus
// ".enc" (or less four characters); the boxes show a readable form.
void TestMainFrm::namesThatAreNotUtf8_data()
{
    QTest::addColumn<QList<QByteArray>>("files"); // relative paths as bytes
    QTest::addColumn<QString>("folder");          // a subfolder to open first, as shown
    QTest::addColumn<QString>("clicked"); // the entry clicked, as shown; none: the input dropped
    QTest::addColumn<QString>("shown");   // the file name box's text after the click
    QTest::addColumn<QString>("typed");   // then typed into the box, if anything
    QTest::addColumn<bool>("encrypt");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("output");
    const QString cafe = QStringLiteral("caf\u00e9.txt");
    QTest::newRow("Latin-1 name") << QList<QByteArray>{"caf\xe9.txt"} << "" << cafe << cafe << ""
                                  << true << QByteArray("caf\xe9.txt")
                                  << QByteArray("caf\xe9.txt.enc");
    const QList<QByteArray> alike{"x\xff", "x\xef\xbf\xbd"};
    QTest::newRow("a stray byte beside a real U+FFFD, the stray one clicked")
        << alike << "" << QStringLiteral("x\u00ff") << QStringLiteral("x\u00ff") << "" << true
        << QByteArray("x\xff") << QByteArray("x\xff.enc");
    QTest::newRow("a stray byte beside a real U+FFFD, the real one clicked")
        << alike << "" << QStringLiteral("x\ufffd") << QStringLiteral("x\ufffd") << "" << true
        << QByteArray("x\xef\xbf\xbd") << QByteArray("x\xef\xbf\xbd.enc");
    QTest::newRow("decrypting keeps the bytes before the cut")
        << QList<QByteArray>{"r\xe9sum\xe9.enc"} << "" << QStringLiteral("r\u00e9sum\u00e9.enc")
        << QStringLiteral("r\u00e9sum\u00e9.enc") << "" << false << QByteArray("r\xe9sum\xe9.enc")
        << QByteArray("r\xe9sum\xe9");
    QTest::newRow("Latin-1 name dropped")
        << QList<QByteArray>{"caf\xe9.txt"} << ""
        << "" << cafe << "" << true << QByteArray("caf\xe9.txt") << QByteArray("caf\xe9.txt.enc");
    QTest::newRow("a typed name names the file typed")
        << QList<QByteArray>{"caf\xe9.txt", "caf\xc3\xa9.txt.bak"} << "" << cafe << cafe << cafe
        << true << QByteArray("caf\xc3\xa9.txt") << QByteArray("caf\xc3\xa9.txt.enc");
    QTest::newRow("in a folder whose name is not UTF-8")
        << QList<QByteArray>{"d\xe9j\xe0/f\xfc.txt"} << QStringLiteral("d\u00e9j\u00e0")
        << QStringLiteral("f\u00fc.txt") << QStringLiteral("f\u00fc.txt") << "" << true
        << QByteArray("d\xe9j\xe0/f\xfc.txt") << QByteArray("d\xe9j\xe0/f\xfc.txt.enc");
}

void TestMainFrm::namesThatAreNotUtf8()
{
#ifdef Q_OS_WIN
    QSKIP("names are UTF-16 there: none has bytes that do not decode");
#else
    QFETCH(QList<QByteArray>, files);
    QFETCH(QString, folder);
    QFETCH(QString, clicked);
    QFETCH(QString, shown);
    QFETCH(QString, typed);
    QFETCH(bool, encrypt);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, output);
    const QByteArray root = QFile::encodeName(m_dir->path()) + '/';
    const auto raw = [&root](const QByteArray &relative) { return QByteArray(root + relative); };
    const auto contentOf = [](const QByteArray &name) { return QByteArray("content of " + name); };
    for (const QByteArray &file : files) {
        const qsizetype slash = file.lastIndexOf('/');
        if (slash > 0)
            QCOMPARE(::mkdir(raw(file.first(slash)).constData(), 0755), 0);
        QVERIFY(writeRaw(raw(file), contentOf(file)));
    }
    if (typed.size() > 0) // the file the typed name stands for, in UTF-8
        QVERIFY(writeRaw(raw(input), contentOf(input)));
    // A window opened now lists the new entries.
    m_window = std::make_unique<mainFrm>();
    m_window->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));

    if (!folder.isEmpty())
        openFolder(folder);
    if (clicked.isEmpty()) {
        QMimeData mime;
        mime.setUrls({QUrl::fromEncoded("file://" + raw(input).toPercentEncoding("/"))});
        QDragEnterEvent enter(QPoint(500, 300), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(m_window.get(), &enter);
        QDropEvent drop(QPoint(500, 300), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(m_window.get(), &drop);
    } else {
        clickFile(clicked);
    }
    QCOMPARE(control<QLineEdit>("txtSave")->text(), shown);
    if (!typed.isEmpty())
        typeInto(control<QLineEdit>("txtSave"), typed);
    typeInto(control<QLineEdit>("txtpwd"), password);
    clickThroughWindow(control<QPushButton>(encrypt ? "Command1" : "Command2"));

    QCOMPARE(readRaw(raw(output)), rc4(password, contentOf(input)));
    QCOMPARE(QApplication::activeModalWidget(), nullptr);
#endif
}

// Names are shown as they are: never as markup, a right-to-left override turns round at most
// the name itself, a line break in one is a visible symbol.
void TestMainFrm::namesAreShownAsText_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("shownOutput"); // the output's name as the replace question shows it
    const auto isolated = [](const QString &inner) {
        return QStringLiteral("\u2068%1\u2069").arg(inner);
    };
    for (const char *name : {"<a href=http:evil.example>CLICK ME.txt", "<img src=pic.png>.txt",
                             "<h1>BIG.txt", "<font size=7 color=red>STOP.bin", "a&lt;b.txt"})
        QTest::newRow(name) << QString::fromLatin1(name)
                            << isolated(QString::fromLatin1(name) + QStringLiteral(".enc"));
    QTest::newRow("right-to-left override")
        << QStringLiteral("inv\u202Etxt.exe") << isolated(QStringLiteral("inv\u202Etxt.exe.enc"));
    QTest::newRow("newline") << QStringLiteral("two\nlines.txt")
                             << isolated(QStringLiteral("two\u240Alines.txt.enc"));
    QTest::newRow("tab and escape")
        << QStringLiteral("a\tb\x1b.txt") << isolated(QStringLiteral("a\u2409b\u241B.txt.enc"));
    QTest::newRow("stray isolate end") << QStringLiteral("x\u2069\u202Ey.txt")
                                       << isolated(QStringLiteral("x\uFFFD\u202Ey.txt.enc"));
    QTest::newRow("open isolate") << QStringLiteral("x\u2067y.txt")
                                  << isolated(QStringLiteral("x\u2067y.txt.enc\u2069"));
}

void TestMainFrm::namesAreShownAsText()
{
    QFETCH(QString, name);
    QFETCH(QString, shownOutput);
#ifdef Q_OS_WIN
    const QRegularExpression forbidden(QStringLiteral("[<>:\"|?*\\x00-\\x1f]"));
    if (name.contains(forbidden))
        QSKIP("Windows allows no < > or control characters in a name");
#endif
    QVERIFY(writeAll(path(name), "plain"));
    QVERIFY(writeAll(path(name + QStringLiteral(".enc")), "older"));
    QVERIFY(QDir(m_dir->path()).mkdir(name + QStringLiteral(" folder")));
    control<FolderList>("DirList")->refresh();
    QTRY_VERIFY(rowOf(control<FileList>("filList"), name) >= 0);
    typeInto(control<QLineEdit>("txtpwd"), password);
    clickFile(name); // listed on one line, as the list's own text
    QCOMPARE(control<QLineEdit>("txtSave")->text(), name);

    BoxSeen seen;
    answerNextBox(&seen, [](QMessageBox *box) { pressKey(box, Qt::Key_Return); });
    clickThroughWindow(control<QPushButton>("Command1"));
    QVERIFY(seen.shown);
    QCOMPARE(seen.format, Qt::PlainText);
    QVERIFY2(seen.text.contains(shownOutput), qPrintable(seen.text));
    QCOMPARE(readAll(path(name + QStringLiteral(".enc"))), QByteArray("older"));

    // A tooltip is rich text; the folder's name in it is escaped text.
    auto *folders = control<FolderList>("DirList");
    const QString tip = folders->model()
                            ->index(rowOf(folders, name + QStringLiteral(" folder")), 0)
                            .data(Qt::ToolTipRole)
                            .toString();
    QTextDocument rendered;
    rendered.setHtml(tip);
    QCOMPARE(rendered.toPlainText().trimmed(), varnok::displayedFileName(QDir::toNativeSeparators(
                                                   path(name + QStringLiteral(" folder")))));
}

// After a command, whatever its outcome, on F5 or Enter in the folder list and on coming back
// to the window, the lists show the folder as it now is; the choice and the name box stay.
void TestMainFrm::listsShowTheFolderAsItNowIs_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("newFile");
    QTest::newRow("Encrypt") << "Encrypt"
                             << "notes.txt.enc";
    QTest::newRow("Encrypt fails") << "failed Encrypt"
                                   << "appeared.txt";
    QTest::newRow("F5 in the folder list") << "F5"
                                           << "appeared.txt";
    QTest::newRow("Enter in the folder list") << "Enter"
                                              << "appeared.txt";
    QTest::newRow("window activated again") << "activation"
                                            << "appeared.txt";
}

void TestMainFrm::listsShowTheFolderAsItNowIs()
{
    QFETCH(QString, how);
    QFETCH(QString, newFile);
    auto *files = control<FileList>("filList");
    auto *folders = control<FolderList>("DirList");
    clickFile(QStringLiteral("notes.txt"));
    typeInto(control<QLineEdit>("txtpwd"),
             how == QLatin1String("failed Encrypt") ? QString() : password);
    QVERIFY(writeAll(path("appeared.txt"), "made by another program"));
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("appeared")));
    QVERIFY(!listedFiles(files).contains(newFile));

    QWindow *const window = m_window->windowHandle();
    if (how.endsWith(QLatin1String("Encrypt"))) {
        BoxSeen seen; // the empty password's message
        answerNextBox(&seen, [](QMessageBox *box) { pressKey(box, Qt::Key_Return); });
        clickThroughWindow(control<QPushButton>("Command1"));
        QCOMPARE(seen.shown, how != QLatin1String("Encrypt"));
    } else if (how == QLatin1String("activation")) {
        QWidget other;
        other.show();
        other.activateWindow();
        QTRY_VERIFY(!m_window->isActiveWindow());
        m_window->activateWindow();
        QTRY_VERIFY(m_window->isActiveWindow());
    } else {
        folders->setFocus();
        QTest::keyClick(window, how == QLatin1String("F5") ? Qt::Key_F5 : Qt::Key_Return);
    }
    // Both are read on worker threads.
    QTRY_VERIFY(rowOf(folders, QStringLiteral("appeared")) >= 0);
    QTRY_VERIFY(listedFiles(files).contains(newFile));
    QCOMPARE(folders->path(), m_dir->path());
    QCOMPARE(files->fileName(files->selectedIndex()), QStringLiteral("notes.txt"));
    QCOMPARE(control<QLineEdit>("txtSave")->text(), QStringLiteral("notes.txt"));
}

void TestMainFrm::exitEndsEventLoopWithoutClosingWindow()
{
    QEventLoop loop;
    QTimer::singleShot(0, this, [this] { clickThroughWindow(control<QPushButton>("Command3")); });
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    QCOMPARE(loop.exec(), 0);
    // No closing step ran: the window was neither closed nor hidden by the button.
    QVERIFY(m_window->isVisible());
}

QTEST_MAIN(TestMainFrm)
#include "tst_mainfrm.moc"
