#include "codepage1252.h"

#include <QTest>

using namespace varnok;
using Bytes = std::vector<std::uint8_t>;

class TestCodepage1252 : public QObject
{
    Q_OBJECT

private slots:
    void encodes_data();
    void encodes();
    void refusesWhatHasNoSingleByteCode_data();
    void refusesWhatHasNoSingleByteCode();
};

void TestCodepage1252::encodes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty") << QString() << QByteArray();
    QTest::newRow("ascii") << QStringLiteral("Secret 123!~") << QByteArray("Secret 123!~");
    QTest::newRow("spaces only") << QStringLiteral("   ") << QByteArray("   ");
    QTest::newRow("latin-1 range")
        << QStringLiteral("\u00A0\u00E9\u00FF") << QByteArray::fromHex("a0e9ff");
    QTest::newRow("euro, quotes, dashes") << QStringLiteral("\u20AC\u201C\u201D\u2013\u2014\u2122")
                                          << QByteArray::fromHex("80939496 97 99");
    QTest::newRow("all 27 of 0x80..0x9F")
        << QStringLiteral("\u20AC\u201A\u0192\u201E\u2026\u2020\u2021\u02C6\u2030\u0160\u2039"
                          "\u0152\u017D\u2018\u2019\u201C\u201D\u2022\u2013\u2014\u02DC\u2122"
                          "\u0161\u203A\u0153\u017E\u0178")
        << QByteArray::fromHex("80 82 83 84 85 86 87 88 89 8a 8b 8c 8e 91 92 93 94 95 96 97 98"
                               "99 9a 9b 9c 9e 9f");
}

void TestCodepage1252::encodes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    const auto encoded = toWindows1252(text.toStdU16String());
    QVERIFY(encoded.has_value());
    QCOMPARE(
        QByteArray(reinterpret_cast<const char *>(encoded->data()), qsizetype(encoded->size())),
        bytes);
}

void TestCodepage1252::refusesWhatHasNoSingleByteCode_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("C1 control with an unassigned byte") << QStringLiteral("ab\u0081");
    QTest::newRow("C1 control at an assigned byte") << QStringLiteral("\u0080");
    QTest::newRow("latin extended") << QStringLiteral("\u0100");
    QTest::newRow("cyrillic") << QStringLiteral("пароль");
    QTest::newRow("outside the BMP") << QStringLiteral("key\U0001F511");
}

void TestCodepage1252::refusesWhatHasNoSingleByteCode()
{
    QFETCH(QString, text);
    QVERIFY(!toWindows1252(text.toStdU16String()).has_value());
}

QTEST_APPLESS_MAIN(TestCodepage1252)
#include "tst_codepage1252.moc"
