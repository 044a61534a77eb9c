#include "driveletters.h"
#include "drivelist.h"
#include "filelist.h"
#include "filename.h"
#include "folderlist.h"
#include "pathtoopen.h"
#include "volumes.h"

#include <QAbstractItemModel>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>

#include <memory>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

using varnok::DriveList;
using varnok::FileList;
using varnok::FolderList;

namespace {

void touch(const QString &path)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
}

void makeFolder(const QString &path)
{
    QVERIFY2(QDir().mkpath(path), qPrintable(path));
}

// A link to target. Windows gets a hard link: symbolic ones need a privilege there, and Wine
// makes none.
bool makeLink(const QString &target, const QString &link)
{
#ifdef Q_OS_WIN
    return CreateHardLinkW(
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(link).utf16()),
        reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(target).utf16()), nullptr);
#else
    return QFile::link(target, link);
#endif
}

QStringList entries(const FileList &list)
{
    QStringList names;
    for (int i = 0; i < list.count(); ++i)
        names << list.fileName(i);
    return names;
}

QStringList rowTexts(const QAbstractItemModel *model)
{
    QStringList texts;
    for (int row = 0; row < model->rowCount(); ++row)
        texts << model->index(row, 0).data().toString();
    return texts;
}

QModelIndex rowNamed(const QAbstractItemModel *model, const QString &text)
{
    const QModelIndexList found =
        model->match(model->index(0, 0), Qt::DisplayRole, text, 1, Qt::MatchExactly);
    return found.isEmpty() ? QModelIndex() : found.first();
}

void clickRow(QListView &view, int row, Qt::KeyboardModifiers modifiers = {})
{
    const QRect rect = view.visualRect(view.model()->index(row, 0));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, modifiers, rect.center());
}

// A real double-click: the view only honours the second click on the entry the first one pressed.
void doubleClickRow(QListView &view, const QModelIndex &index)
{
    const QPoint centre = view.visualRect(index).center();
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseDClick(view.viewport(), Qt::LeftButton, {}, centre);
    QTest::mouseRelease(view.viewport(), Qt::LeftButton, {}, centre);
}

} // namespace

class TestPicker : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // File list
    void fileListFilters_data();
    void fileListFilters();
    void fileListSortsIgnoringCase();
    void fileListRereadsOnEverySet();
    void fileListSurvivesUnreadableFolders();
    void fileListKeepsOneSelection();
    void entrySelectedByMouse();
    void entrySelectedByKeys();

    // Folder list
    void folderChainThenSortedSubfolders();
    void folderRefusesWhatItCannotList_data();
    void folderRefusesWhatItCannotList();
    void folderOpensByDoubleClickAndEnter();
    void folderRemembersLastFolderPerVolume();

    // Paths given to the program
    void pathsToOpen_data();
    void pathsToOpen();

    // Drive selector
    void driveSelectsLongestRoot();
    void driveNamesFitAndTellVolumesApart();
    void driveChangedByUser();
    void driveKeepsSelectionAcrossNewRoots();
    void startsAtCurrentFolder();
    void driveLettersOpenOrStay_data();
    void driveLettersOpenOrStay();

private:
    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    QTemporaryDir m_dir;
};

void TestPicker::init()
{
    QVERIFY(m_dir.isValid());
    // A fresh tree per test: earlier tests rename, delete and add.
    QDir(m_dir.path()).removeRecursively();
    makeFolder(m_dir.path());
    for (const char *name : {"notes.txt", "README", "Data.TXT", "report.doc", "secret.enc",
                             "archive.tar.gz", ".hidden", ".hidden.txt"})
        touch(path(QString::fromUtf8(name)));
#ifndef Q_OS_WIN // no named pipes in a folder there
    // Not a file one could encrypt: reading a pipe would wait for a writer forever.
    QCOMPARE(mkfifo(QFile::encodeName(path(QStringLiteral("pipe.txt"))).constData(), 0600), 0);
#endif
    makeFolder(path(QStringLiteral("folder.txt")));
    makeFolder(path(QStringLiteral(".git")));
    QVERIFY(makeLink(path(QStringLiteral("notes.txt")), path(QStringLiteral("link.txt"))));
#ifndef Q_OS_WIN // a hard link cannot dangle
    QVERIFY(makeLink(path(QStringLiteral("gone")), path(QStringLiteral("dangling.txt"))));
#endif
}

void TestPicker::fileListFilters_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QStringList>("expected");

    // Folders, dot files and dangling links never show; the rest is sorted ignoring case.
    const QStringList all{"archive.tar.gz", "Data.TXT",   "link.txt",  "notes.txt",
                          "README",         "report.doc", "secret.enc"};
    QTest::newRow("*.*") << "*.*" << all;
    QTest::newRow("*") << "*" << all;
    QTest::newRow("*.") << "*." << QStringList{"README"};
    QTest::newRow("*.t") << "*.t" << QStringList{};
    QTest::newRow("*.txt") << "*.txt" << QStringList{"Data.TXT", "link.txt", "notes.txt"};
    QTest::newRow("*.ENC") << "*.ENC" << QStringList{"secret.enc"};
    QTest::newRow("two patterns") << "*.doc;*.enc" << QStringList{"report.doc", "secret.enc"};
    QTest::newRow("no match") << "*.zip" << QStringList{};
}

void TestPicker::fileListFilters()
{
    QFETCH(QString, pattern);
    QFETCH(QStringList, expected);
    FileList list;
    list.setFolder(m_dir.path());
    list.setPattern(pattern);
    QCOMPARE(entries(list), expected);
    QCOMPARE(list.pattern(), pattern);
    QCOMPARE(list.folder(), m_dir.path());
}

void TestPicker::fileListSortsIgnoringCase()
{
    const QString sub = path(QStringLiteral("sorted"));
    makeFolder(sub);
    for (const char *name : {"b.txt", "äB.txt", "a.txt", "C.txt", "A.txt", "Äa.txt"})
        touch(sub + QLatin1Char('/') + QString::fromUtf8(name));
    FileList list;
    list.setFolder(sub);
#ifdef Q_OS_WIN // names that differ only in case name one file there
    QCOMPARE(entries(list), (QStringList{"a.txt", "b.txt", "C.txt", "Äa.txt", "äB.txt"}));
#else
    QCOMPARE(entries(list), (QStringList{"A.txt", "a.txt", "b.txt", "C.txt", "Äa.txt", "äB.txt"}));
#endif
}

void TestPicker::fileListRereadsOnEverySet()
{
    FileList list;
    list.setFolder(m_dir.path());
    list.setPattern(QStringLiteral("*.enc"));
    QCOMPARE(list.count(), 1);
    touch(path(QStringLiteral("new.enc")));
    list.setPattern(QStringLiteral("*.enc"));
    QCOMPARE(entries(list), (QStringList{"new.enc", "secret.enc"}));
    QVERIFY(QFile::remove(path(QStringLiteral("secret.enc"))));
    list.setFolder(m_dir.path());
    QCOMPARE(entries(list), QStringList{"new.enc"});

    // Changes that keep the listing's size: a rename to a name of the same length, and a file
    // replaced by a folder of the same name.
    QVERIFY(QFile::rename(path(QStringLiteral("new.enc")), path(QStringLiteral("old.enc"))));
    list.setPattern(QStringLiteral("*.enc"));
    QCOMPARE(entries(list), QStringList{"old.enc"});
    QVERIFY(QFile::remove(path(QStringLiteral("old.enc"))));
    makeFolder(path(QStringLiteral("old.enc")));
    list.setPattern(QStringLiteral("*.enc"));
    QCOMPARE(entries(list), QStringList{});
}

void TestPicker::fileListSurvivesUnreadableFolders()
{
    const QString sub = path(QStringLiteral("sub"));
    makeFolder(sub);
    touch(sub + QStringLiteral("/a.txt"));
    FileList list;
    list.setFolder(sub);
    QCOMPARE(list.count(), 1);

    QVERIFY(QDir(sub).removeRecursively());
    list.setPattern(QStringLiteral("*.txt")); // the folder vanished while listed
    QCOMPARE(list.count(), 0);
    QCOMPARE(list.selectedIndex(), -1);
    QCOMPARE(list.fileName(0), QString());

    list.setFolder(path(QStringLiteral("notes.txt"))); // a file, not a folder
    QCOMPARE(list.count(), 0);
    list.setFolder(m_dir.path());
    QCOMPARE(list.count(), 3);
}

void TestPicker::fileListKeepsOneSelection()
{
    FileList list;
    list.setFolder(m_dir.path());
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    clickRow(list, 0);
    clickRow(list, 2, Qt::ControlModifier);
    clickRow(list, 4, Qt::ShiftModifier);
    QCOMPARE(list.selectionModel()->selectedIndexes().size(), 1);
    QCOMPARE(list.selectedIndex(), 4);
}

void TestPicker::entrySelectedByMouse()
{
    FileList list;
    list.setFolder(m_dir.path());
    list.resize(200, 400);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QSignalSpy selected(&list, &FileList::entrySelected);

    clickRow(list, 3);
    QCOMPARE(selected.count(), 1);
    QCOMPARE(list.fileName(list.selectedIndex()), QStringLiteral("notes.txt"));

    clickRow(list, 3); // the same entry again is still the user choosing it
    QCOMPARE(selected.count(), 2);

    QTest::mouseClick(list.viewport(), Qt::LeftButton, {},
                      QPoint(5, list.viewport()->height() - 3));
    QCOMPARE(selected.count(), 2); // below the last entry: nothing chosen

    list.setPattern(QStringLiteral("*.*")); // a re-read is not the user's doing
    QCOMPARE(list.selectedIndex(), -1);
    list.setCurrentIndex(list.model()->index(1, 0)); // nor is a selection the program makes
    QCOMPARE(list.selectedIndex(), 1);
    QCOMPARE(selected.count(), 2);
}

void TestPicker::entrySelectedByKeys()
{
    FileList list;
    list.setFolder(m_dir.path());
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QSignalSpy selected(&list, &FileList::entrySelected);

    QTest::keyClick(&list, Qt::Key_Down);
    QTest::keyClick(&list, Qt::Key_Down);
    QVERIFY(selected.count() >= 1);
    const int afterDown = selected.count();
    const int row = list.selectedIndex();
    QVERIFY(row >= 0);

    QTest::keyClick(&list, Qt::Key_End);
    QCOMPARE(selected.count(), afterDown + 1);
    QCOMPARE(list.selectedIndex(), list.count() - 1);
    QCOMPARE(list.fileName(list.selectedIndex()), QStringLiteral("secret.enc"));

    QTest::keyClick(&list, Qt::Key_End); // already there: no new choice
    QCOMPARE(selected.count(), afterDown + 1);
}

void TestPicker::folderChainThenSortedSubfolders()
{
    const QString deep = path(QStringLiteral("a/b"));
    for (const char *name : {"zeta", "Alpha", "beta", ".cache"})
        makeFolder(deep + QLatin1Char('/') + QString::fromUtf8(name));
    touch(deep + QStringLiteral("/file.txt"));
    DriveList drives;
    drives.setVolumeRoots({m_dir.path()});
    FolderList folders;
    QSignalSpy changed(&folders, &FolderList::changed);

    QVERIFY(folders.setPath(deep + QStringLiteral("/zeta/..")));
    QCOMPARE(changed.count(), 1); // before setPath returned
    QCOMPARE(folders.path(), deep);
    QCOMPARE(rowTexts(folders.model()), (QStringList{QDir::toNativeSeparators(m_dir.path()), "a",
                                                     "b", "Alpha", "beta", "zeta"}));
    QCOMPARE(folders.currentIndex().row(), 2); // the current folder is the highlighted row

    QVERIFY(folders.setPath(deep)); // same folder: re-listed, but no change
    QCOMPARE(changed.count(), 1);

    // A path on no listed volume is chained from the file system's root.
    drives.setVolumeRoots({path(QStringLiteral("elsewhere"))});
    QVERIFY(folders.setPath(deep));
    QCOMPARE(folders.model()->index(0, 0).data().toString(),
             QDir::toNativeSeparators(varnok::fileSystemRootOf(deep)));
}

void TestPicker::folderRefusesWhatItCannotList_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("missing") << QStringLiteral("missing");
    QTest::newRow("a file") << QStringLiteral("notes.txt");
    QTest::newRow("dangling link") << QStringLiteral("dangling.txt");
    QTest::newRow("not listable") << QStringLiteral("locked");
}

void TestPicker::folderRefusesWhatItCannotList()
{
    QFETCH(QString, target);
    if (target == QLatin1String("locked")) {
#ifdef Q_OS_WIN
        QSKIP("a folder is locked by its access list there, not by permission bits");
#else
        if (geteuid() == 0)
            QSKIP("permissions do not stop root from listing a folder");
#endif
        makeFolder(path(target));
        QVERIFY(QFile::setPermissions(path(target), QFileDevice::WriteOwner));
    }
    FolderList folders;
    QVERIFY(folders.setPath(m_dir.path()));
    const QStringList rowsBefore = rowTexts(folders.model());
    QSignalSpy changed(&folders, &FolderList::changed);

    QVERIFY(!folders.setPath(path(target)));
    QVERIFY(!folders.setDrive(path(target)));
    QCOMPARE(folders.path(), m_dir.path());
    QCOMPARE(rowTexts(folders.model()), rowsBefore);
    QCOMPARE(changed.count(), 0);
    QFile::setPermissions(path(target),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void TestPicker::folderOpensByDoubleClickAndEnter()
{
    makeFolder(path(QStringLiteral("a/b")));
    DriveList drives;
    drives.setVolumeRoots({m_dir.path()});
    FolderList folders;
    QVERIFY(folders.setPath(m_dir.path()));
    folders.show();
    QVERIFY(QTest::qWaitForWindowExposed(&folders));
    QSignalSpy changed(&folders, &FolderList::changed);

    const QModelIndex a = rowNamed(folders.model(), QStringLiteral("a"));
    QVERIFY(a.isValid());
    doubleClickRow(folders, a);
    QCOMPARE(folders.path(), path(QStringLiteral("a")));
    QCOMPARE(changed.count(), 1);

    // Down from the current folder "a" reaches its only subfolder; Enter opens it.
    QTest::keyClick(&folders, Qt::Key_Down);
    QTest::keyClick(&folders, Qt::Key_Return);
    QCOMPARE(folders.path(), path(QStringLiteral("a/b")));
    QCOMPARE(changed.count(), 2);

    // The chain leads back up: double-click the volume's root.
    const QModelIndex root = folders.model()->index(0, 0);
    doubleClickRow(folders, root);
    QCOMPARE(folders.path(), m_dir.path());
    QCOMPARE(changed.count(), 3);
}

void TestPicker::folderRemembersLastFolderPerVolume()
{
    const QString volumeA = path(QStringLiteral("volA"));
    const QString volumeB = path(QStringLiteral("volB"));
    makeFolder(volumeA + QStringLiteral("/x/y"));
    makeFolder(volumeB + QStringLiteral("/z"));
    makeFolder(path(QStringLiteral("volC")));
    DriveList drives;
    drives.setVolumeRoots(
        {volumeA, volumeB, path(QStringLiteral("volC")), path(QStringLiteral("absent"))});
    FolderList folders;
    QSignalSpy changed(&folders, &FolderList::changed);

    QVERIFY(folders.setPath(volumeA + QStringLiteral("/x/y")));
    QVERIFY(folders.setDrive(volumeB)); // never visited: its root
    QCOMPARE(folders.path(), volumeB);
    QVERIFY(folders.setPath(volumeB + QStringLiteral("/z")));
    QVERIFY(folders.setDrive(volumeA));
    QCOMPARE(folders.path(), volumeA + QStringLiteral("/x/y"));
    QCOMPARE(rowTexts(folders.model()).first(), QDir::toNativeSeparators(volumeA));
    QVERIFY(folders.setDrive(volumeB));
    QCOMPARE(folders.path(), volumeB + QStringLiteral("/z"));
    QCOMPARE(changed.count(), 5);

    // An unreachable volume is refused and the folder stays.
    QVERIFY(!folders.setDrive(path(QStringLiteral("absent"))));
    QCOMPARE(folders.path(), volumeB + QStringLiteral("/z"));
    QCOMPARE(changed.count(), 5);

    // The remembered folder has gone meanwhile: the volume opens on its root.
    QVERIFY(QDir(volumeA + QStringLiteral("/x")).removeRecursively());
    QVERIFY(folders.setDrive(volumeA));
    QCOMPARE(folders.path(), volumeA);
}

// `varnok PATH`: the folder by its real path and the file by the name it was given, or the
// system's reason why the path is no use.
void TestPicker::pathsToOpen_data()
{
    QTest::addColumn<QString>("given");  // relative to the test's folder, the current one
    QTest::addColumn<QString>("folder"); // expected, relative to it
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("error"); // the errno of the refusal on Linux, 0: none
    const auto row = [](const char *what, const QString &given, const QString &folder,
                        const QString &name,
                        int error = 0) { QTest::newRow(what) << given << folder << name << error; };
    row("a file", "notes.txt", ".", "notes.txt");
    row("a folder, dots, trailing separator", "folder.txt/../folder.txt/", "folder.txt", "");
    row("the current folder", ".", ".", "");
    row("a link keeps its name", "link.txt", ".", "link.txt");
    row("missing", "gone.txt", "", "", ENOENT);
    row("a file taken for a folder", "notes.txt/x", "", "", ENOTDIR);
#ifdef Q_OS_WIN
    row("the literal form", "\\\\?\\%1\\README", ".", "README");
#else
    row("a pipe is not opened", "pipe.txt", ".", "pipe.txt");
    row("a dangling link", "dangling.txt", "", "", ENOENT);
    row("'..' after a link to a folder", "up/../x.txt", "a", "x.txt");
    row("a file that cannot be read", "locked.txt", "", "", EACCES);
#endif
}

void TestPicker::pathsToOpen()
{
    QFETCH(QString, given);
    QFETCH(QString, folder);
    QFETCH(QString, name);
    QFETCH(int, error);
#ifdef Q_OS_WIN // %1: the test's folder
    given.replace(QStringLiteral("%1"), QDir::toNativeSeparators(m_dir.path()));
#else
    makeFolder(path(QStringLiteral("a/b")));
    touch(path(QStringLiteral("a/x.txt")));
    QVERIFY(QFile::link(path(QStringLiteral("a/b")), path(QStringLiteral("up"))));
    touch(path(QStringLiteral("locked.txt")));
    QVERIFY(QFile::setPermissions(path(QStringLiteral("locked.txt")), {}));
    if (error == EACCES && geteuid() == 0)
        QSKIP("permissions do not stop root from reading a file");
#endif
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    const auto restore = qScopeGuard([&previous] { QDir::setCurrent(previous); });

    const varnok::PathToOpen found = varnok::locatePath(given);
    QCOMPARE(found.folder, error != 0 ? QString() : QDir::cleanPath(path(folder)));
    QCOMPARE(found.name, name);
    const QString refusal = QStringLiteral("Could not open %1: ")
                                .arg(varnok::displayedFileName(QDir::toNativeSeparators(given)));
#ifdef Q_OS_WIN // the reason is in the system's language
    QCOMPARE(found.problem.startsWith(refusal) && found.problem.size() > refusal.size(),
             error != 0);
#else
    QCOMPARE(found.problem, error != 0 ? refusal + qt_error_string(error) : QString());
#endif
}

void TestPicker::driveSelectsLongestRoot()
{
    const QString outer = path(QStringLiteral("outer"));
    const QString inner = path(QStringLiteral("outer/inner"));
    DriveList drives;
    drives.setVolumeRoots({inner, path(QStringLiteral("zzz")), outer});
    QCOMPARE(drives.count(), 3);
    QCOMPARE(drives.itemData(0).toString(), outer); // sorted by path
    QSignalSpy changed(&drives, &DriveList::changed);

    drives.setDrive(inner + QStringLiteral("/deep/er"));
    QCOMPARE(drives.drive(), inner);
    QCOMPARE(changed.count(), 1);
    drives.setDrive(inner); // same volume: no change
    QCOMPARE(changed.count(), 1);
    drives.setDrive(outer + QStringLiteral("/innerish"));
    QCOMPARE(drives.drive(), outer);
    QCOMPARE(changed.count(), 2);
    drives.setDrive(QStringLiteral("/somewhere/else")); // on no listed volume: stays
    QCOMPARE(drives.drive(), outer);
    QCOMPARE(changed.count(), 2);
}

namespace {

QString tipText(const QString &tip)
{
    QTextDocument rendered;
    rendered.setHtml(tip);
    return rendered.toPlainText().trimmed();
}

} // namespace

void TestPicker::driveNamesFitAndTellVolumesApart()
{
    const QStringList roots{"/media/root/USB3", "/media/root/USB4"};
    DriveList drives;
    drives.setVolumeRoots(roots);
    drives.resize(121, 21); // its size in the window
    QStringList shown;
    for (int row = 0; row < drives.count(); ++row) {
        drives.setCurrentIndex(row);
        // The closed box paints the icon, then the text clipped to the rest of its field.
        QStyleOptionComboBox option;
        option.initFrom(&drives);
        option.currentIcon = drives.itemIcon(row);
        option.iconSize = drives.iconSize();
        const QRect field = drives.style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                           QStyle::SC_ComboBoxEditField, &drives);
        const int room = field.width() - drives.iconSize().width() - 4 - 2;
        QVERIFY2(drives.fontMetrics().horizontalAdvance(drives.currentText()) <= room,
                 qPrintable(drives.currentText()));
        // Tooltips are rich text, so the path is shown escaped.
        const QString shownRoot =
            varnok::displayedFileName(QDir::toNativeSeparators(roots.at(row)));
        QCOMPARE(tipText(drives.toolTip()), shownRoot);
        QCOMPARE(tipText(drives.itemData(row, Qt::ToolTipRole).toString()), shownRoot);
        shown << drives.currentText();
    }
    QCOMPARE(shown.removeDuplicates(), 0);
}

void TestPicker::driveChangedByUser()
{
    DriveList drives;
    drives.setVolumeRoots({path(QStringLiteral("a")), path(QStringLiteral("b"))});
    drives.setDrive(path(QStringLiteral("a")));
    drives.show();
    QVERIFY(QTest::qWaitForWindowExposed(&drives));
    QSignalSpy changed(&drives, &DriveList::changed);
    QTest::keyClick(&drives, Qt::Key_Down);
    QCOMPARE(drives.drive(), path(QStringLiteral("b")));
    QCOMPARE(changed.count(), 1);
}

void TestPicker::driveKeepsSelectionAcrossNewRoots()
{
    DriveList drives;
    drives.setVolumeRoots({path(QStringLiteral("a")), path(QStringLiteral("b"))});
    drives.setDrive(path(QStringLiteral("b")));
    QSignalSpy changed(&drives, &DriveList::changed);

    drives.setVolumeRoots({path(QStringLiteral("c")), path(QStringLiteral("b"))});
    QCOMPARE(drives.drive(), path(QStringLiteral("b")));
    QCOMPARE(changed.count(), 0);

    drives.setVolumeRoots({path(QStringLiteral("c"))}); // the selected volume went away
    QCOMPARE(drives.drive(), path(QStringLiteral("c")));
    QCOMPARE(changed.count(), 1);
}

void TestPicker::startsAtCurrentFolder()
{
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(path(QStringLiteral("folder.txt"))));
    DriveList drives; // reads the system's volumes again
    FolderList folders;
    FileList files;
    QDir::setCurrent(previous);
    // The mounted volumes, or "/" alone where none is (a plain chroot, "/" no mount point);
    // the drive letters on Windows.
    QStringList roots;
    for (const varnok::Volume &volume : varnok::systemVolumes())
        roots << volume.root;
    for (const QString &root : roots)
        QVERIFY2(drives.findData(root) >= 0, qPrintable(root));
    QCOMPARE(drives.drive(), varnok::volumeRootOf(roots, m_dir.path()));
    QCOMPARE(folders.path(), path(QStringLiteral("folder.txt")));
    QCOMPARE(files.folder(), path(QStringLiteral("folder.txt")));
}

namespace {

#ifdef Q_OS_WIN
// A drive letter for a folder that is not there, as an empty card reader is: listed, unreadable.
struct UnreadableDrive
{
    explicit UnreadableDrive(const QString &root)
        : letter(QDir::toNativeSeparators(root.left(2)).toStdWString())
    {
        defined = DefineDosDeviceW(0, letter.c_str(), L"C:\\varnok-nothing-here");
    }
    ~UnreadableDrive()
    {
        if (defined)
            DefineDosDeviceW(DDD_REMOVE_DEFINITION, letter.c_str(), nullptr);
    }
    std::wstring letter;
    bool defined = false;
};
#endif

} // namespace

// Under Wine, C: is the prefix's own drive and Z: the Unix root.
void TestPicker::driveLettersOpenOrStay_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("opens");
    QTest::newRow("C:") << "C:/" << true;
    QTest::newRow("Z:") << "Z:/" << true;
    QTest::newRow("a letter no drive has") << "free" << false;
    QTest::newRow("a drive that cannot be read") << "unreadable" << false;
}

void TestPicker::driveLettersOpenOrStay()
{
#ifndef Q_OS_WIN
    QSKIP("drive letters are Windows's");
#else
    QFETCH(QString, kind);
    QFETCH(bool, opens);
    const QString root = kind.endsWith(QLatin1Char('/')) ? kind : freeDriveLetter();
    QVERIFY(!root.isEmpty());
    std::unique_ptr<UnreadableDrive> unreadable;
    if (kind == QLatin1String("unreadable")) {
        unreadable = std::make_unique<UnreadableDrive>(root);
        if (!unreadable->defined)
            QSKIP("this system lets no drive letter be defined");
    }
    DriveList drives; // the system's drives
    FolderList folders;
    const QString start = folders.path();
    const int row = drives.findData(root);
    QCOMPARE(row >= 0, kind != QLatin1String("free"));
    if (row >= 0) {
        // "c:", or "c: [label]" once the label has been read.
        QVERIFY2(drives.itemText(row).startsWith(root.left(2).toLower()),
                 qPrintable(drives.itemText(row)));
        QCOMPARE(tipText(drives.itemData(row, Qt::ToolTipRole).toString()),
                 varnok::displayedFileName(QDir::toNativeSeparators(root)));
    }
    QCOMPARE(folders.setDrive(root), opens);
    // A drive opens on its folder last shown: the start folder on the start drive.
    if (!opens)
        QCOMPARE(folders.path(), start);
    else
        QCOMPARE(folders.path(), start.startsWith(root) ? start : root);
#endif
}

QTEST_MAIN(TestPicker)
#include "tst_picker.moc"
