#include "aboutcommand.h"
#include "frmabout.h"
#include "openaboutwindows.h"
#include "pointerhook.h"
#include "surface.h"

#include <QAccessible>
#include <QApplication>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace varnok;

namespace {

constexpr QRect band(8, 174, 384, 116);

QImage plainPicture()
{
    QImage picture(400, 300, QImage::Format_RGB32);
    picture.fill(Qt::white);
    return picture;
}

// First row of image at or below top that holds a pixel darker than mid grey.
int firstInkRow(const QImage &image, int top, int bottom)
{
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qGray(image.pixel(x, y)) < 128)
                return y;
    return -1;
}

} // namespace

class TestAboutWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensBorderlessAndCentred();
    void firstFrameIsDrawnOnActivation();
    void hoverPausesUntilThePointerLeaves();
    void pointerArrivingPauses_data();
    void pointerArrivingPauses();
    void keysOnRelease_data();
    void keysOnRelease();
    void closeButtonAndCloseRequestClose_data();
    void closeButtonAndCloseRequestClose();
    void closedPictureNoLongerReachesTheWindow();
    void activationWhilePausedDrawsOneFrame();
    void hookForwardsOnlyAttachedEvents();
    void reopeningLoadsAnew();
    void fullListDoesNotStopTheLoad();
    void aboutCommandKeepsOneWindow();

private:
    QWidget *openForm();
    QWidget *child(const char *name) const;
    QTimer *timer() const;
    bool closePending() const;

    std::unique_ptr<frmAbout> form;
};

void TestAboutWindow::init()
{
    form = std::make_unique<frmAbout>(plainPicture());
}

void TestAboutWindow::cleanup()
{
    form.reset();
    QCursor::setPos(0, 0);
}

QWidget *TestAboutWindow::openForm()
{
    form->Show();
    QWidget *window = form->window();
    if (window) [[maybe_unused]]
        bool active = QTest::qWaitForWindowActive(window);
    return window;
}

QWidget *TestAboutWindow::child(const char *name) const
{
    return form->window() ? form->window()->findChild<QWidget *>(QLatin1String(name)) : nullptr;
}

QTimer *TestAboutWindow::timer() const
{
    return form->window() ? form->window()->findChild<QTimer *>(QStringLiteral("ReDrawTimer"))
                          : nullptr;
}

// A close asked for by a key release that may yet turn out to be half of an auto-repeat pair.
bool TestAboutWindow::closePending() const
{
    const auto *grace = form->window()
                            ? form->window()->findChild<QTimer *>(QStringLiteral("KeyUpTimer"))
                            : nullptr;
    return grace != nullptr && grace->isActive();
}

void TestAboutWindow::opensBorderlessAndCentred()
{
    QWidget *window = openForm();
    QVERIFY(window);
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(window->geometry(),
             QRect((screen.width() - 400) / 2, (screen.height() - 300) / 2, 400, 300));
    QVERIFY(window->windowFlags().testFlag(Qt::FramelessWindowHint));
    QCOMPARE(child("picOut")->geometry(), QRect(0, 0, 400, 300));
    auto *close = qobject_cast<QPushButton *>(child("Command1"));
    QVERIFY(close);
    QCOMPARE(close->text(), QStringLiteral("X"));
    QCOMPARE(close->geometry(), QRect(376, 8, 17, 17));
    // What a screen reader reads: the button's purpose, and the text the picture shows.
    QCOMPARE(QAccessible::queryAccessibleInterface(close)->text(QAccessible::Name),
             QStringLiteral("Close"));
    const QString content =
        QAccessible::queryAccessibleInterface(child("picOut"))->text(QAccessible::Description);
    for (const char *part : {"Version 1.00", "Brindlemoor", "forget or lose the", "PASSWORD"})
        QVERIFY2(content.contains(QLatin1String(part)), part);
    QCOMPARE(QApplication::focusWidget(), child("picOut"));
    QCOMPARE(form->scroller().bufLeft, 8);
    QCOMPARE(form->scroller().bufTop, 174);
    QCOMPARE(form->scroller().bufWidth, 384);
    QCOMPARE(form->scroller().bufHeight, 116);
    // Frames are composed in full only when the composing surface is exactly the band.
    QCOMPARE(form->surfaces().picBuffer->image().size(), band.size());
    QCOMPARE(form->surfaces().picBackBuffer->image().size(), band.size());
    QCOMPARE(timer()->interval(), 20);
    QVERIFY(timer()->isActive());
}

void TestAboutWindow::firstFrameIsDrawnOnActivation()
{
    form->Show();
    // Ticks would move the text on; only the activation's frame is wanted here.
    timer()->stop();
    QVERIFY(QTest::qWaitForWindowActive(form->window()));
    QCOMPARE(form->scroller().scrollY, 28.0f);

    // The first line's ink lies as far below the band's top as that line's ink lies below 0
    // when printed at 0, plus the start value 29 and the 2-pixel gap.
    Surface reference(band.size(), Qt::white);
    reference.setFont(creditsFont());
    reference.setBold(form->scroller().lines[1].bold != flagFalse);
    reference.print(form->scroller().lines[1].text);
    const int inkBelowLineTop = firstInkRow(reference.image(), 0, band.height());
    QVERIFY(inkBelowLineTop >= 0);

    const QImage shown = form->window()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(firstInkRow(shown, band.top(), band.bottom() + 1) - band.top(), 31 + inkBelowLineTop);
}

void TestAboutWindow::hoverPausesUntilThePointerLeaves()
{
    QWidget *window = openForm();
    QWidget *picture = child("picOut");
    QVERIFY(timer()->isActive());

    QTest::mouseMove(picture, QPoint(100, 200));
    QVERIFY(!timer()->isActive());
    QVERIFY(form->isTracking());
    const float pausedAt = form->scroller().scrollY;

    QTest::mouseMove(picture, QPoint(120, 210));
    QVERIFY(!timer()->isActive());
    QCOMPARE(form->scroller().scrollY, pausedAt);

    // Out of the window: the leave restarts the scroller.
    QTest::mouseMove(window, QPoint(-50, -50));
    QVERIFY(timer()->isActive());
    QVERIFY(!form->isTracking());

    QTest::mouseMove(picture, QPoint(150, 220));
    QVERIFY(!timer()->isActive());
    QVERIFY(form->isTracking());
}

void TestAboutWindow::pointerArrivingPauses_data()
{
    // Each step of a route: "picture" and "button" move the pointer onto them, "outside" moves
    // it out of the window; "away" and "back" are the leave and enter notices alone, as when the
    // pointer leaves and comes back at the very pixel it left, with no move the picture sees.
    QTest::addColumn<QStringList>("route");
    QTest::addColumn<bool>("paused");

    QTest::newRow("back at the pixel where it left")
        << QStringList{"picture", "away", "back"} << true;
    QTest::newRow("onto the X button from the picture") << QStringList{"picture", "button"} << true;
    QTest::newRow("onto the X button from outside") << QStringList{"outside", "button"} << true;
}

void TestAboutWindow::pointerArrivingPauses()
{
    QFETCH(QStringList, route);
    QFETCH(bool, paused);
    QWidget *window = openForm();
    QWidget *picture = child("picOut");
    const QPoint spot(100, 200);
    for (const QString &step : route) {
        if (step == QLatin1String("picture")) {
            QTest::mouseMove(picture, spot);
        } else if (step == QLatin1String("button")) {
            QTest::mouseMove(child("Command1"), QPoint(8, 8));
        } else if (step == QLatin1String("outside")) {
            QTest::mouseMove(window, QPoint(-50, -50));
        } else if (step == QLatin1String("away")) {
            QEvent leave(QEvent::Leave);
            QCoreApplication::sendEvent(picture, &leave);
        } else {
            QEnterEvent enter(spot, picture->mapTo(window, spot), picture->mapToGlobal(spot));
            QCoreApplication::sendEvent(picture, &enter);
        }
    }
    QCOMPARE(form->isTracking(), paused);
    QCOMPARE(timer()->isActive(), !paused);
}

void TestAboutWindow::keysOnRelease_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("focus");
    QTest::addColumn<bool>("paused");
    // Release/press pairs before the real release: X11 sends a held key so, and the toolkit marks
    // the pair as a repeat only when its press has already arrived, which it often has not.
    QTest::addColumn<int>("repeats");
    QTest::addColumn<bool>("closes");

    const int escape = Qt::Key_Escape;
    QTest::newRow("Escape on the picture") << escape << "picOut" << false << 0 << true;
    QTest::newRow("Escape on the button") << escape << "Command1" << false << 0 << true;
    QTest::newRow("Escape while paused") << escape << "picOut" << true << 0 << true;
    QTest::newRow("Escape held down") << escape << "picOut" << false << 4 << true;
    QTest::newRow("Escape held on the button") << escape << "Command1" << false << 3 << true;
    QTest::newRow("Enter") << int(Qt::Key_Return) << "picOut" << false << 0 << false;
    QTest::newRow("a letter while paused") << int(Qt::Key_Q) << "picOut" << true << 0 << false;
    QTest::newRow("a letter on the button") << int(Qt::Key_A) << "Command1" << false << 0 << false;
}

void TestAboutWindow::keysOnRelease()
{
    QFETCH(int, key);
    QFETCH(QString, focus);
    QFETCH(bool, paused);
    QFETCH(int, repeats);
    QFETCH(bool, closes);

    openForm();
    QWidget *target = child(qPrintable(focus));
    if (paused)
        QTest::mouseMove(child("picOut"), QPoint(200, 200));
    QCOMPARE(timer()->isActive(), !paused);

    QTest::keyPress(target, Qt::Key(key));
    for (int pair = 0; pair < repeats; ++pair) {
        const bool marked = pair % 2 == 1;
        QTest::simulateEvent(target, false, key, Qt::NoModifier, QString(), marked);
        QTest::simulateEvent(target, true, key, Qt::NoModifier, QString(), marked);
    }
    QVERIFY(form->isLoaded()); // nothing happens before the release
    QVERIFY(!closePending());
    QTest::keyRelease(target, Qt::Key(key));
    QTRY_COMPARE(!form->isLoaded(), closes);
    QVERIFY(!closePending());
    QCOMPARE(openAboutWindows().size(), closes ? 0 : 1);
    if (!closes)
        QCOMPARE(timer()->isActive(), !paused);
}

void TestAboutWindow::closeButtonAndCloseRequestClose_data()
{
    QTest::addColumn<bool>("viaButton");
    QTest::newRow("X button") << true;
    QTest::newRow("close request") << false;
}

void TestAboutWindow::closeButtonAndCloseRequestClose()
{
    QFETCH(bool, viaButton);
    QPointer<QWidget> window = openForm();
    QPointer<QWidget> picture = child("picOut");
    if (viaButton)
        QTest::mouseClick(child("Command1"), Qt::LeftButton);
    else
        QVERIFY(window->close());
    QVERIFY(!form->isLoaded());
    QVERIFY(openAboutWindows().isEmpty());
    QTRY_VERIFY(window.isNull());
    QVERIFY(picture.isNull());
}

void TestAboutWindow::closedPictureNoLongerReachesTheWindow()
{
    openForm();
    QPointer<QWidget> oldPicture = child("picOut");
    QVERIFY(form->window()->close());
    form->Show();
    // The closed window's picture is not deleted yet; its pointer events must not pause the
    // new window.
    QVERIFY(oldPicture);
    QMouseEvent move(QEvent::MouseMove, QPointF(10, 10), QPointF(10, 10), Qt::NoButton,
                     Qt::NoButton, Qt::NoModifier);
    QCoreApplication::sendEvent(oldPicture, &move);
    QVERIFY(!form->isTracking());
    QVERIFY(timer()->isActive());
}

void TestAboutWindow::activationWhilePausedDrawsOneFrame()
{
    QWidget *window = openForm();
    QTest::mouseMove(child("picOut"), QPoint(200, 200));
    QVERIFY(!timer()->isActive());
    const float pausedAt = form->scroller().scrollY;

    QWidget other;
    other.setGeometry(0, 0, 50, 50);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QCOMPARE(form->scroller().scrollY, pausedAt);

    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window));
    QCOMPARE(form->scroller().scrollY, pausedAt - 1.0f);
    QVERIFY(!timer()->isActive());
}

void TestAboutWindow::hookForwardsOnlyAttachedEvents()
{
    QList<QEvent::Type> seen;
    PointerHook hook([&seen](QEvent::Type type) { seen.append(type); });
    QWidget picture;
    QMouseEvent move(QEvent::MouseMove, QPointF(1, 1), QPointF(1, 1), Qt::NoButton, Qt::NoButton,
                     Qt::NoModifier);
    QEvent leave(QEvent::Leave);
    const auto sendBoth = [&] {
        QCoreApplication::sendEvent(&picture, &move);
        QCoreApplication::sendEvent(&picture, &leave);
    };

    hook.attach(&picture, QEvent::Leave);
    hook.attach(&picture, QEvent::MouseMove);
    QVERIFY(picture.hasMouseTracking());
    sendBoth();
    QCOMPARE(seen, (QList<QEvent::Type>{QEvent::MouseMove, QEvent::Leave}));

    seen.clear();
    hook.detach(&picture, QEvent::Leave);
    sendBoth();
    QCOMPARE(seen, QList<QEvent::Type>{QEvent::MouseMove});

    seen.clear();
    hook.detach(&picture, QEvent::MouseMove);
    sendBoth();
    QVERIFY(seen.isEmpty());
}

void TestAboutWindow::reopeningLoadsAnew()
{
    QPointer<QWidget> first = openForm();
    // Close during a pause, so that no leave notice ends it.
    QTest::mouseMove(child("picOut"), QPoint(200, 200));
    QVERIFY(form->isTracking());
    QTest::keyClick(child("picOut"), Qt::Key_Escape);
    QTRY_VERIFY(!form->isLoaded());
    QTRY_VERIFY(first.isNull());

    // Away from where the picture will be: a window that opens under the pointer pauses at once.
    QCursor::setPos(0, 0);
    QWidget *second = openForm();
    QVERIFY(second);
    QCOMPARE(form->scroller().lineCount, 23);
    QVERIFY(form->scroller().lines[24].text.isEmpty());
    QVERIFY(!form->isTracking());
    QVERIFY(timer()->isActive());

    QTest::mouseMove(child("picOut"), QPoint(210, 210));
    QVERIFY(!timer()->isActive());
}

void TestAboutWindow::fullListDoesNotStopTheLoad()
{
    form->scroller().lineCount = 3000;
    form->scroller().lines[3000].text = QStringLiteral("left over");
    QVERIFY(openForm());
    QVERIFY(form->window()->isVisible());
    QCOMPARE(form->scroller().lineCount, 23);
    QVERIFY(form->scroller().lines[3000].text.isEmpty());
}

void TestAboutWindow::aboutCommandKeepsOneWindow()
{
    AboutCommand about;
    QVERIFY(!about.form());
    about.run();
    frmAbout *object = about.form();
    QVERIFY(object);
    QPointer<QWidget> window = object->window();
    QVERIFY(QTest::qWaitForWindowExposed(window));

    about.run();
    QCOMPARE(about.form(), object);
    QCOMPARE(object->window(), window.data());
    QCOMPARE(openAboutWindows(), QList<QWidget *>{window.data()});
    QCOMPARE(object->scroller().lineCount, 23);

    window->close();
    QTRY_VERIFY(window.isNull());
    about.run();
    QCOMPARE(about.form(), object);
    QVERIFY(object->window());
    QCOMPARE(openAboutWindows().size(), 1);
    QCOMPARE(object->scroller().lineCount, 23);
}

QTEST_MAIN(TestAboutWindow)
#include "tst_aboutwindow.moc"
