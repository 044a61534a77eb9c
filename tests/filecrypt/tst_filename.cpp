#include "filename.h"

#include <QOperatingSystemVersion>
#include <QTest>

using namespace varnok;

// Linux names are bytes, not always UTF-8; Windows names are UTF-16, with no bytes to escape.
const bool namesAreBytes =
    QOperatingSystemVersion::currentType() != QOperatingSystemVersion::Windows;

class TestFileName : public QObject
{
    Q_OBJECT

private slots:
    // Every byte string survives the trip through QString; valid UTF-8 decodes as usual, and
    // the readable form reads stray bytes as Windows-1252.
    void roundTrip_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("readable");
        QTest::newRow("ASCII") << QByteArray("letter.txt") << QStringLiteral("letter.txt");
        QTest::newRow("UTF-8") << QByteArray("caf\xc3\xa9.txt") << QStringLiteral("caf\u00e9.txt");
        QTest::newRow("outside the BMP")
            << QByteArray("x\xf0\x9f\x98\x80") << QStringLiteral("x\U0001F600");
        if (!namesAreBytes)
            return;
        QTest::newRow("Latin-1") << QByteArray("caf\xe9.txt") << QStringLiteral("caf\u00e9.txt");
        QTest::newRow("Windows-1252 euro and an unassigned byte")
            << QByteArray("\x80\x81") << QStringLiteral("\u20ac\ufffd");
        QTest::newRow("truncated sequence at the end")
            << QByteArray("ab\xe2\x82") << QStringLiteral("ab\u00e2\u201a");
        QTest::newRow("encoded surrogate")
            << QByteArray("\xed\xb2\x80") << QStringLiteral("\u00ed\u00b2\u20ac");
        QTest::newRow("overlong slash") << QByteArray("\xc0\xaf") << QStringLiteral("\u00c0\u00af");
        QTest::newRow("past U+10FFFF")
            << QByteArray("\xf4\x90\x80\x80") << QStringLiteral("\u00f4\ufffd\u20ac\u20ac");
        QTest::newRow("stray byte after a pair")
            << QByteArray("\xf0\x90\x80\x80\xff") << QStringLiteral("\U00010000\u00ff");
    }

    void roundTrip()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, readable);
        const QString name = decodeFileName(bytes);
        QCOMPARE(encodeFileName(name), bytes);
        QCOMPARE(readableFileName(name), readable);
    }

    // A name shown in a message changes only its own appearance: it is isolated, with its own
    // isolates balanced, and control characters show as symbols. A list row needs no isolate.
    void displayedName_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("inText");
        QTest::addColumn<QString>("onItsOwn");
        QTest::newRow("plain") << QStringLiteral("a.txt") << QStringLiteral("\u2068a.txt\u2069")
                               << QStringLiteral("a.txt");
        QTest::newRow("override") << QStringLiteral("inv\u202Etxt.exe")
                                  << QStringLiteral("\u2068inv\u202Etxt.exe\u2069")
                                  << QStringLiteral("inv\u202Etxt.exe");
        QTest::newRow("controls") << QStringLiteral("a\nb\r\x7f\u0085\u2028\u009b")
                                  << QStringLiteral(
                                         "\u2068a\u240Ab\u240D\u2421\u2424\u2424\uFFFD\u2069")
                                  << QStringLiteral("a\u240Ab\u240D\u2421\u2424\u2424\uFFFD");
        QTest::newRow("isolate end of its own")
            << QStringLiteral("x\u2069y") << QStringLiteral("\u2068x\uFFFDy\u2069")
            << QStringLiteral("x\u2069y");
        QTest::newRow("isolates left open")
            << QStringLiteral("\u2066a\u2067b\u2069")
            << QStringLiteral("\u2068\u2066a\u2067b\u2069\u2069\u2069")
            << QStringLiteral("\u2066a\u2067b\u2069");
        if (namesAreBytes)
            QTest::newRow("stray byte")
                << decodeFileName("caf\xe9") << QStringLiteral("\u2068caf\u00e9\u2069")
                << QStringLiteral("caf\u00e9");
    }

    void displayedName()
    {
        QFETCH(QString, name);
        QFETCH(QString, inText);
        QFETCH(QString, onItsOwn);
        QCOMPARE(displayedFileName(name), inText);
        QCOMPARE(displayedFileName(name, NamePlace::OnItsOwn), onItsOwn);
    }

    // The names Windows takes for a device or for another name, or refuses, whatever the case,
    // the extension or the spaces before it; near misses are names like any other.
    void windowsNames()
    {
        const auto fault = [](const char *name) {
            return windowsNameFault(QString::fromUtf8(name));
        };
        for (const char *name :
             {"NUL", "con", "Aux.enc", "prn.txt.enc", "COM1", "lpt9.doc", "nul .tar.gz", "CONIN$",
              "conout$.txt", "NUL.", "COM\u00b9", "lpt\u00b3.x"})
            QVERIFY2(fault(name).kind == WindowsNameFault::Device, name);
        for (const char *name : {"COM0", "COM10", "LPT", "NULL", "nul_x", "aux1.txt", "x.nul",
                                 ".nul", "COM\u2074", "a b.c", "\u00e9t\u00e9"})
            QVERIFY2(fault(name).kind == WindowsNameFault::None, name);
        for (const char *name : {"report ", "report.", ".."})
            QVERIFY2(fault(name).kind == WindowsNameFault::TrailingSpaceOrDot, name);
        QString refused; // the character refused in each, and no other
        for (const char *name : {"10:30 notes", "C:a.txt", "q?x", "\"NUL", "tab\tx"})
            refused += fault(name).character;
        QCOMPARE(refused, QStringLiteral("::?\"\t"));
    }

    // A stray byte and the character the readable form shows for it are different names.
    void strayBytesStayApartFromLookAlikes()
    {
        if (!namesAreBytes)
            QSKIP("Windows names have no stray bytes");
        const QString stray = decodeFileName("x\xff");
        const QString real = decodeFileName("x\xef\xbf\xbd"); // a real U+FFFD
        QVERIFY(stray != real);
        QCOMPARE(encodeFileName(real), QByteArray("x\xef\xbf\xbd"));
        QCOMPARE(encodeFileName(QStringLiteral("x\u00ff")), QByteArray("x\xc3\xbf"));
    }
};

QTEST_APPLESS_MAIN(TestFileName)
#include "tst_filename.moc"
