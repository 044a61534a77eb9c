#include "creditscroller.h"
#include "surface.h"

#include <QFontMetricsF>
#include <QTest>

#include <climits>
#include <stdexcept>

using namespace varnok;

namespace {

constexpr QRect band(8, 174, 384, 116);

// A background no text colour occurs in, different at every pixel, so that a restored pixel
// can be told from a drawn or stale one.
QImage patterned(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(200 + x % 50, 200 + y % 50, 230 + (x + y) % 20));
    return image;
}

// The About window's arrangement: a 400 x 300 picture with the band at (8, 174).
struct Rig
{
    Rig()
        : picOut(patterned({400, 300}))
        , picBackBuffer(band.size(), Qt::white)
        , picBuffer(band.size(), Qt::white)
    {
        picBackBuffer.copyFrom(0, 0, band.width(), band.height(), picOut, band.left(), band.top());
        picBuffer.setFont(creditsFont());
        picBuffer.setPrintLog(&printed);
        picOut.setRefreshHandler([this] { ++refreshes; });
        scroller.bufLeft = band.left();
        scroller.bufTop = band.top();
        scroller.bufWidth = band.width();
        scroller.bufHeight = band.height();
        scroller.StartFirstPass();
    }

    void drawFrame()
    {
        printed.clear();
        scroller.DrawFrame({&picOut, &picBackBuffer, &picBuffer});
    }

    QImage bandOfPicOut() const { return picOut.image().copy(band); }

    Surface picOut;
    Surface picBackBuffer;
    Surface picBuffer;
    CreditScroller scroller;
    std::vector<Surface::Printed> printed;
    int refreshes = 0;
};

QFontMetricsF metricsOf(bool bold)
{
    QFont font = creditsFont();
    font.setBold(bold);
    return QFontMetricsF(font);
}

// Rows and columns of image whose pixels differ from reference.
QRect differingArea(const QImage &image, const QImage &reference)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != reference.pixel(x, y))
                area |= QRect(x, y, 1, 1);
    return area;
}

} // namespace

class TestCreditScroller : public QObject
{
    Q_OBJECT

private slots:
    void startValueRoundsHalvesToEven_data();
    void startValueRoundsHalvesToEven();
    void addLineCapacity_data();
    void addLineCapacity();
    void blankLineKeepsItsSlot();
    void loadCreditsFillsTheList();
    void reloadHoldsTheCreditsOnce();
    void linesFollowTheFontMetrics();
    void blankLineTakesTheHeightOfItsFace();
    void wideLineIsCentredWithNegativeX();
    void wrapsOnlyBelowMinusFive_data();
    void wrapsOnlyBelowMinusFive();
    void frameAfterWrapStartsBelowTheBand();
    void frameRestoresTheBandAndDrawsOnlyGlyphs();
    void failingStepIsSkipped_data();
    void failingStepIsSkipped();
};

void TestCreditScroller::startValueRoundsHalvesToEven_data()
{
    QTest::addColumn<int>("bufHeight");
    QTest::addColumn<float>("scrollY");
    QTest::newRow("2 px: 0.5 to 0") << 2 << 0.0f;
    QTest::newRow("6 px: 1.5 to 2") << 6 << 2.0f;
    QTest::newRow("10 px: 2.5 to 2") << 10 << 2.0f;
    QTest::newRow("7 px: 1.75 to 2") << 7 << 2.0f;
    QTest::newRow("the band, 116 px") << 116 << 29.0f;
}

void TestCreditScroller::startValueRoundsHalvesToEven()
{
    QFETCH(int, bufHeight);
    QFETCH(float, scrollY);
    CreditScroller scroller;
    scroller.bufHeight = bufHeight;
    scroller.StartFirstPass();
    QCOMPARE(scroller.scrollY, scrollY);
}

void TestCreditScroller::addLineCapacity_data()
{
    QTest::addColumn<int>("countBefore");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("countAfter");

    const QString line = QStringLiteral("line");
    QTest::newRow("last slot") << 2999 << line << QString() << 3000;
    QTest::newRow("past the last slot") << 3000 << line << QStringLiteral("bounds") << 3001;
    QTest::newRow("blank past the last slot") << 3000 << QString() << QString() << 3001;
    QTest::newRow("count at its limit") << INT_MAX << line << QStringLiteral("overflow") << INT_MAX;
    QTest::newRow("blank at its limit")
        << INT_MAX << QString() << QStringLiteral("overflow") << INT_MAX;
}

void TestCreditScroller::addLineCapacity()
{
    QFETCH(int, countBefore);
    QFETCH(QString, text);
    QFETCH(QString, error);
    QFETCH(int, countAfter);

    CreditScroller scroller;
    scroller.lineCount = countBefore;
    QString raised;
    try {
        scroller.AddLine(text, flagTrue);
    } catch (const std::overflow_error &) {
        raised = QStringLiteral("overflow");
    } catch (const std::out_of_range &) {
        raised = QStringLiteral("bounds");
    }
    QCOMPARE(raised, error);
    QCOMPARE(scroller.lineCount, countAfter);
    if (error.isEmpty() && !text.isEmpty())
        QCOMPARE(scroller.lines[countAfter].text, text);
    QVERIFY(scroller.lines[CreditSlots::capacity].text.isEmpty() || countAfter == 3000);
}

void TestCreditScroller::blankLineKeepsItsSlot()
{
    CreditScroller scroller;
    scroller.AddLine(QStringLiteral("first"), flagFalse);
    scroller.AddLine(QStringLiteral("second"), flagTrue);
    scroller.lineCount = 1;
    scroller.AddLine(QString(), flagFalse);
    QCOMPARE(scroller.lineCount, 2);
    QCOMPARE(scroller.lines[2].text, QStringLiteral("second"));
    QCOMPARE(scroller.lines[2].bold, flagTrue);
}

void TestCreditScroller::loadCreditsFillsTheList()
{
    CreditScroller scroller;
    scroller.LoadCredits();
    QCOMPARE(scroller.lineCount, 23);

    for (int k = 1; k <= 23; ++k) {
        const bool bold = k == 1 || k == 18 || k == 19 || k == 23;
        QCOMPARE(scroller.lines[k].bold, bold ? flagTrue : flagFalse);
    }
    for (int k : {3, 5, 9, 11, 15, 17, 20, 22})
        QVERIFY2(scroller.lines[k].text.isEmpty(), qPrintable(QString::number(k)));
    for (int k : {1, 2, 6, 7, 8})
        QVERIFY(!scroller.lines[k].text.isEmpty());
    for (int k : {4, 10, 16, 21})
        QCOMPARE(scroller.lines[k].text, QStringLiteral("-").repeated(50));
    QCOMPARE(scroller.lines[12].text, QStringLiteral("Warning... If you forget or lose the"));
    QCOMPARE(scroller.lines[13].text, QStringLiteral("password to an encrypted file it will be"));
    QCOMPARE(scroller.lines[14].text, QStringLiteral("nearly impossible to decrypt the file."));
    QCOMPARE(scroller.lines[18].text, QStringLiteral("ALWAYS KEEP A COPY OF YOUR FILE AND THE"));
    QCOMPARE(scroller.lines[19].text, QStringLiteral("PASSWORD UNENCRYPTED IN A SAFE PLACE"));
    QCOMPARE(scroller.lines[23].text, QStringLiteral("Thats All Folks!"));
    QVERIFY(scroller.lines[24].text.isEmpty());
}

void TestCreditScroller::reloadHoldsTheCreditsOnce()
{
    CreditScroller scroller;
    scroller.LoadCredits();
    scroller.LoadCredits();
    QCOMPARE(scroller.lineCount, 46); // appending is the raw rule; the window reloads instead

    // A list too full for another 23 lines: loading raises, reloading starts afresh.
    scroller.lineCount = 2990;
    QVERIFY_THROWS_EXCEPTION(std::out_of_range, scroller.LoadCredits());
    scroller.ReloadCredits();
    QCOMPARE(scroller.lineCount, 23);
    QCOMPARE(scroller.lines[23].text, QStringLiteral("Thats All Folks!"));
    QVERIFY(scroller.lines[24].text.isEmpty());
    QVERIFY(scroller.lines[46].text.isEmpty());
    QVERIFY(scroller.lines[3000].text.isEmpty());
}

void TestCreditScroller::linesFollowTheFontMetrics()
{
    Rig rig;
    rig.scroller.LoadCredits();
    rig.drawFrame();

    QCOMPARE(rig.printed.size(), std::size_t(23));
    float expectedY = 29.0f;
    for (int k = 1; k <= 23; ++k) {
        const auto &line = rig.printed[std::size_t(k - 1)];
        const CreditLine &slot = rig.scroller.lines[k];
        const QFontMetricsF metrics = metricsOf(slot.bold != flagFalse);
        expectedY += 2.0f;
        QCOMPARE(line.text, slot.text);
        QCOMPARE(line.bold, slot.bold != flagFalse);
        QCOMPARE(line.y, expectedY);
        QCOMPARE(line.x, float((384.0 - metrics.horizontalAdvance(slot.text)) / 2.0));
        expectedY += float(metrics.height());
    }
    QCOMPARE(rig.printed.front().y, 31.0f);
    QCOMPARE(rig.picBuffer.currentY, expectedY);
    QCOMPARE(rig.scroller.scrollY, 28.0f);
}

void TestCreditScroller::blankLineTakesTheHeightOfItsFace()
{
    Rig rig;
    rig.scroller.AddLine(QStringLiteral("above"), flagTrue);
    rig.scroller.AddLine(QString(), flagTrue); // blank: its fresh slot selects the normal face
    rig.scroller.AddLine(QStringLiteral("below"), flagFalse);
    rig.drawFrame();

    QCOMPARE(rig.printed.size(), std::size_t(3));
    QVERIFY(!rig.printed[1].bold);
    const float boldLine = float(metricsOf(true).height());
    const float normalLine = float(metricsOf(false).height());
    QCOMPARE(rig.printed[1].y, rig.printed[0].y + boldLine + 2.0f);
    QCOMPARE(rig.printed[2].y, rig.printed[1].y + normalLine + 2.0f);
}

void TestCreditScroller::wideLineIsCentredWithNegativeX()
{
    Rig rig;
    const QString wide = QStringLiteral("W").repeated(80);
    rig.scroller.AddLine(wide, flagFalse);
    rig.drawFrame();

    const float width = float(metricsOf(false).horizontalAdvance(wide));
    QVERIFY(width > 384.0f);
    QCOMPARE(rig.printed[0].x, (384.0f - width) / 2.0f);
    QVERIFY(rig.printed[0].x < 0.0f);

    // Cut at both edges: ink reaches both the first and the last column of the band.
    const QRect ink = differingArea(rig.bandOfPicOut(), rig.picBackBuffer.image());
    QCOMPARE(ink.left(), 0);
    QCOMPARE(ink.right(), 383);
}

void TestCreditScroller::wrapsOnlyBelowMinusFive_data()
{
    QTest::addColumn<bool>("withCredits");
    QTest::addColumn<float>("bottomAtFrameEnd");
    QTest::addColumn<float>("scrollYAfter");

    QTest::newRow("empty list, bottom at -5") << false << -5.0f << -6.0f;
    QTest::newRow("empty list, bottom at -6") << false << -6.0f << 116.0f;
    QTest::newRow("credits, bottom at -4") << true << -4.0f << -1.0f;
    QTest::newRow("credits, bottom at -5") << true << -5.0f << -1.0f;
    QTest::newRow("credits, bottom at -6") << true << -6.0f << 116.0f;
}

void TestCreditScroller::wrapsOnlyBelowMinusFive()
{
    QFETCH(bool, withCredits);
    QFETCH(float, bottomAtFrameEnd);
    QFETCH(float, scrollYAfter);

    Rig rig;
    if (withCredits)
        rig.scroller.LoadCredits();
    // The height of the whole text, from a frame drawn at 0.
    rig.scroller.scrollY = 0.0f;
    rig.drawFrame();
    const float textHeight = rig.picBuffer.currentY;

    rig.scroller.scrollY = bottomAtFrameEnd - textHeight;
    const float startedAt = rig.scroller.scrollY;
    rig.drawFrame();
    QCOMPARE(rig.picBuffer.currentY, bottomAtFrameEnd);
    if (scrollYAfter == 116.0f)
        QCOMPARE(rig.scroller.scrollY, 116.0f);
    else
        QCOMPARE(rig.scroller.scrollY, startedAt - 1.0f);
}

void TestCreditScroller::frameAfterWrapStartsBelowTheBand()
{
    Rig rig;
    rig.scroller.LoadCredits();
    rig.scroller.scrollY = 116.0f;
    rig.drawFrame();

    QCOMPARE(rig.printed.front().y, 118.0f);
    QCOMPARE(rig.bandOfPicOut(), rig.picBackBuffer.image());
    QCOMPARE(rig.scroller.scrollY, 115.0f);
}

void TestCreditScroller::frameRestoresTheBandAndDrawsOnlyGlyphs()
{
    Rig rig;
    const QString text = QStringLiteral("Hello");
    rig.scroller.AddLine(text, flagFalse);
    const QImage untouchedOut = rig.picOut.image();

    rig.drawFrame();
    const QRect lineBox =
        QRectF(rig.printed[0].x, rig.printed[0].y, float(metricsOf(false).horizontalAdvance(text)),
               float(metricsOf(false).height()))
            .toAlignedRect()
            .adjusted(-1, 0, 1, 0);
    const QRect firstInk = differingArea(rig.picBuffer.image(), rig.picBackBuffer.image());
    QVERIFY(!firstInk.isEmpty());
    QVERIFY2(lineBox.contains(firstInk), "pixels changed outside the printed line");

    // Text pixels are dark; the ground between the glyphs keeps the background.
    const QImage composed = rig.picBuffer.image();
    int dark = 0;
    int kept = 0;
    for (int y = lineBox.top(); y <= lineBox.bottom(); ++y)
        for (int x = lineBox.left(); x <= lineBox.right(); ++x) {
            if (qGray(composed.pixel(x, y)) < 64)
                ++dark;
            if (composed.pixel(x, y) == rig.picBackBuffer.image().pixel(x, y))
                ++kept;
        }
    QVERIFY(dark > 0);
    QVERIFY(kept > dark);

    QCOMPARE(rig.refreshes, 1);
    QCOMPARE(rig.bandOfPicOut(), composed);
    QCOMPARE(differingArea(rig.picOut.image(), untouchedOut), firstInk.translated(band.topLeft()));

    // The next frame wipes the previous text: only the line one pixel higher differs.
    rig.drawFrame();
    const QRect secondInk = differingArea(rig.picBuffer.image(), rig.picBackBuffer.image());
    QCOMPARE(secondInk, firstInk.translated(0, -1));
    QCOMPARE(rig.refreshes, 2);
}

void TestCreditScroller::failingStepIsSkipped_data()
{
    QTest::addColumn<QString>("missing");
    QTest::addColumn<bool>("textDrawn");
    QTest::addColumn<int>("refreshes");
    QTest::addColumn<float>("scrollYAfter");

    QTest::newRow("background copy") << QStringLiteral("picBackBuffer") << true << 1 << 28.0f;
    QTest::newRow("visible picture") << QStringLiteral("picOut") << true << 0 << 28.0f;
    QTest::newRow("composing surface without pixels")
        << QStringLiteral("picBuffer") << false << 1 << 28.0f;
    QTest::newRow("no composing surface") << QStringLiteral("no picBuffer") << false << 1 << 29.0f;
}

void TestCreditScroller::failingStepIsSkipped()
{
    QFETCH(QString, missing);
    QFETCH(bool, textDrawn);
    QFETCH(int, refreshes);
    QFETCH(float, scrollYAfter);

    Rig rig;
    rig.scroller.LoadCredits();
    Surface none;
    none.setPrintLog(&rig.printed);
    ScrollerSurfaces surfaces{&rig.picOut, &rig.picBackBuffer, &rig.picBuffer};
    if (missing == QStringLiteral("picBackBuffer"))
        surfaces.picBackBuffer = &none;
    else if (missing == QStringLiteral("picOut"))
        surfaces.picOut = nullptr;
    else if (missing == QStringLiteral("picBuffer"))
        surfaces.picBuffer = &none;
    else
        surfaces.picBuffer = nullptr;

    rig.scroller.DrawFrame(surfaces);
    QCOMPARE(!rig.printed.empty(), textDrawn);
    QCOMPARE(rig.refreshes, refreshes);
    QCOMPARE(rig.scroller.scrollY, scrollYAfter);
}

QTEST_MAIN(TestCreditScroller)
#include "tst_creditscroller.moc"
