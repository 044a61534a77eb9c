// The compiled-in pictures: that they are linked into a program that links
// varnok_resources, decode with the toolkit's own readers, and keep the properties the
// windows rely on (sizes, palette and transparency, areas where black text must read).

#include <QFile>
#include <QIcon>
#include <QImage>
#include <QImageReader>
#include <QRect>
#include <QSet>
#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <cmath>

namespace {

// WCAG relative luminance of an sRGB colour, 0 (black) to 1 (white).
double relativeLuminance(QRgb colour)
{
    const auto linear = [](int channel) {
        const double c = channel / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * linear(qRed(colour)) + 0.7152 * linear(qGreen(colour)) +
           0.0722 * linear(qBlue(colour));
}

double contrastWithBlack(QRgb colour)
{
    return (relativeLuminance(colour) + 0.05) / 0.05;
}

struct Tone
{
    double leastContrastWithBlack = 21.0;
    int greySpread = 0; // lightest minus darkest grey level
};

Tone toneOf(const QImage &image, const QRect &area)
{
    Tone tone;
    int darkest = 255;
    int lightest = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            tone.leastContrastWithBlack =
                std::min(tone.leastContrastWithBlack, contrastWithBlack(pixel));
            darkest = std::min(darkest, qGray(pixel));
            lightest = std::max(lightest, qGray(pixel));
        }
    }
    tone.greySpread = lightest - darkest;
    return tone;
}

// Colours as the window sees them: every fully transparent pixel counts as one colour.
int distinctColours(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    QSet<QRgb> colours;
    for (int y = 0; y < argb.height(); ++y) {
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb pixel = argb.pixel(x, y);
            colours.insert(qAlpha(pixel) == 0 ? 0u : pixel);
        }
    }
    return int(colours.size());
}

// Bits per pixel of each image in an icon file, read from its bitmap headers.
QList<int> iconBitDepths(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    const auto word = [&data](qsizetype at) {
        return at + 2 <= data.size() ? qFromLittleEndian<quint16>(data.constData() + at) : -1;
    };
    const auto dword = [&data](qsizetype at) {
        return at + 4 <= data.size() ? qFromLittleEndian<quint32>(data.constData() + at) : 0u;
    };
    QList<int> depths;
    for (int i = 0; i < word(4); ++i) {
        const quint32 imageOffset = dword(6 + 16 * i + 12);
        depths << word(qsizetype(imageOffset) + 14); // biBitCount of BITMAPINFOHEADER
    }
    return depths;
}

bool rowsTransparent(const QImage &image, int firstRow, int lastRow)
{
    for (int y = firstRow; y <= lastRow; ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
        }
    }
    return true;
}

bool cornersTransparent(const QImage &image)
{
    const int right = image.width() - 1;
    const int bottom = image.height() - 1;
    return qAlpha(image.pixel(0, 0)) == 0 && qAlpha(image.pixel(right, 0)) == 0 &&
           qAlpha(image.pixel(0, bottom)) == 0 && qAlpha(image.pixel(right, bottom)) == 0;
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void picturesDecodeAtTheirSize_data();
    void picturesDecodeAtTheirSize();
    void windowIconHoldsTwoSixteenColourImages();
    void emblemIsPalettedWithTransparentSurround();
    void backgroundKeepsBlackLabelsReadable();
    void aboutPictureKeepsQuietAreas_data();
    void aboutPictureKeepsQuietAreas();
    void aboutPictureCarriesTitleAbove();
    void desktopIconsMatchTheirThemeFolders_data();
    void desktopIconsMatchTheirThemeFolders();
};

void TestResources::picturesDecodeAtTheirSize_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QByteArray>("format");

    QTest::newRow("emblem") << ":/varnok/emblem.gif" << QSize(160, 160) << QByteArray("gif");
    QTest::newRow("background") << ":/varnok/background.jpg" << QSize(168, 111)
                                << QByteArray("jpeg");
    QTest::newRow("about") << ":/varnok/about.jpg" << QSize(400, 300) << QByteArray("jpeg");
    QTest::newRow("icon") << ":/varnok/varnok.ico" << QSize(32, 32) << QByteArray("ico");
}

void TestResources::picturesDecodeAtTheirSize()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(QByteArray, format);

    QImageReader reader(path);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
    QCOMPARE(image.size(), size);
}

void TestResources::windowIconHoldsTwoSixteenColourImages()
{
    QImageReader reader(":/varnok/varnok.ico");
    QCOMPARE(reader.imageCount(), 2);

    // Stored as 4-bit palette images, not as true colour reduced to 16 shades.
    QCOMPARE(iconBitDepths(":/varnok/varnok.ico"), QList<int>({4, 4}));

    QList<int> sides;
    for (int i = 0; i < reader.imageCount(); ++i) {
        QVERIFY(reader.jumpToImage(i));
        const QImage image = reader.read();
        QVERIFY2(!image.isNull(), qPrintable(reader.errorString()));
        QCOMPARE(image.width(), image.height());
        sides << image.width();
        // 16 palette colours plus the mask's transparency.
        QVERIFY(distinctColours(image) <= 17);
        QVERIFY(image.hasAlphaChannel());
        QVERIFY(cornersTransparent(image));
    }
    std::sort(sides.begin(), sides.end());
    QCOMPARE(sides, QList<int>({16, 32}));

    const QList<QSize> iconSizes = QIcon(":/varnok/varnok.ico").availableSizes();
    QVERIFY(iconSizes.contains(QSize(16, 16)));
    QVERIFY(iconSizes.contains(QSize(32, 32)));
}

void TestResources::emblemIsPalettedWithTransparentSurround()
{
    const QImage emblem(":/varnok/emblem.gif");
    QVERIFY(emblem.hasAlphaChannel());
    QVERIFY(distinctColours(emblem) <= 32);
    QVERIFY(cornersTransparent(emblem));

    // Stretched to 312 x 280 at panel row 112, the picture lies under the title labels
    // above row 121 and below row 376: source rows 0..5 and 151..159 must stay empty.
    QVERIFY(rowsTransparent(emblem, 0, 5));
    QVERIFY(rowsTransparent(emblem, 151, 159));

    // Some of it must be drawn, and drawn opaque: the picture is not a blank frame.
    int opaque = 0;
    for (int y = 0; y < emblem.height(); ++y) {
        for (int x = 0; x < emblem.width(); ++x)
            opaque += qAlpha(emblem.pixel(x, y)) == 255;
    }
    QVERIFY(opaque > emblem.width() * emblem.height() / 3);
}

void TestResources::backgroundKeepsBlackLabelsReadable()
{
    const QImage background(":/varnok/background.jpg");
    const Tone tone = toneOf(background, background.rect());
    // Black bold labels lie anywhere on it; 12:1 is well above the 7:1 for small text.
    QVERIFY2(tone.leastContrastWithBlack >= 12.0,
             qPrintable(QString::number(tone.leastContrastWithBlack)));
}

void TestResources::aboutPictureKeepsQuietAreas_data()
{
    QTest::addColumn<QRect>("area");
    QTest::addColumn<double>("minContrast");

    // The band where black credits scroll, copied as the scroller's background.
    QTest::newRow("credits band") << QRect(8, 174, 384, 116) << 15.0;
    // Where the close button sits.
    QTest::newRow("close button corner") << QRect(376, 8, 17, 17) << 15.0;
}

void TestResources::aboutPictureKeepsQuietAreas()
{
    QFETCH(QRect, area);
    QFETCH(double, minContrast);

    const QImage about(":/varnok/about.jpg");
    const Tone tone = toneOf(about, area);
    QVERIFY2(tone.leastContrastWithBlack >= minContrast,
             qPrintable(QString::number(tone.leastContrastWithBlack)));
    QVERIFY2(tone.greySpread <= 12, qPrintable(QString::number(tone.greySpread)));
}

void TestResources::aboutPictureCarriesTitleAbove()
{
    const QImage about(":/varnok/about.jpg");
    // Dark lettering and the emblem over a light ground.
    QVERIFY(toneOf(about, QRect(0, 8, 370, 160)).greySpread > 150);
}

void TestResources::desktopIconsMatchTheirThemeFolders_data()
{
    QTest::addColumn<int>("side");
    for (const int side : {16, 24, 32, 48, 64, 128, 256})
        QTest::addRow("%dx%d", side, side) << side;
}

void TestResources::desktopIconsMatchTheirThemeFolders()
{
    QFETCH(int, side);

    const QString path =
        QStringLiteral(VARNOK_RESOURCES_DIR "/icons/hicolor/%1x%1/apps/varnok.png").arg(side);
    const QImage icon(path);
    QVERIFY2(!icon.isNull(), qPrintable(path));
    QCOMPARE(icon.size(), QSize(side, side));
    QVERIFY(icon.hasAlphaChannel());
    QVERIFY(cornersTransparent(icon));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
