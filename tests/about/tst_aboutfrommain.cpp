#include "mainFrm.h"
#include "openaboutwindows.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The About window as the main window's "About" button opens it.
class TestAboutFromMain : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void aboutTwiceShowsOneWindowAndKeepsTheMainWindowUsable();

private:
    std::unique_ptr<QTemporaryDir> folder;
    QString startFolder;
    std::unique_ptr<varnok::mainFrm> main;
};

void TestAboutFromMain::init()
{
    // The picker starts in the current folder; give it a small one.
    folder = std::make_unique<QTemporaryDir>();
    QVERIFY(folder->isValid());
    startFolder = QDir::currentPath();
    QVERIFY(QDir::setCurrent(folder->path()));
    main = std::make_unique<varnok::mainFrm>();
    main->show();
    QVERIFY(QTest::qWaitForWindowExposed(main.get()));
}

void TestAboutFromMain::cleanup()
{
    main.reset();
    QDir::setCurrent(startFolder);
    folder.reset();
}

void TestAboutFromMain::aboutTwiceShowsOneWindowAndKeepsTheMainWindowUsable()
{
    auto *about = main->findChild<QPushButton *>(QStringLiteral("Command4"));
    QVERIFY(about);

    QTest::mouseClick(about, Qt::LeftButton);
    const QList<QWidget *> first = openAboutWindows();
    QCOMPARE(first.size(), 1);
    QVERIFY(!first.front()->parentWidget());
    QTest::mouseClick(about, Qt::LeftButton);
    QCOMPARE(openAboutWindows(), first);

    // Modeless: the main window still takes input while the About window is open.
    QVERIFY(!QApplication::activeModalWidget());
    auto *password = main->findChild<QLineEdit *>(QStringLiteral("txtpwd"));
    QVERIFY(password);
    QTest::keyClicks(password, QStringLiteral("abc"));
    QCOMPARE(password->text(), QStringLiteral("abc"));

    // Closed with Escape, then opened anew by the same button.
    QPointer<QWidget> closed = first.front();
    QTest::keyClick(closed->findChild<QWidget *>(QStringLiteral("picOut")), Qt::Key_Escape);
    QTRY_VERIFY(openAboutWindows().isEmpty());
    QVERIFY(main->isVisible());
    QTRY_VERIFY(closed.isNull());
    QTest::mouseClick(about, Qt::LeftButton);
    QCOMPARE(openAboutWindows().size(), 1);
}

QTEST_MAIN(TestAboutFromMain)
#include "tst_aboutfrommain.moc"
