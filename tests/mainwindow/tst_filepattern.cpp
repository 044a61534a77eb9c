#include "filepattern.h"

#include <QTest>

using varnok::FilePattern;

class TestFilePattern : public QObject
{
    Q_OBJECT

private slots:
    void matches_data();
    void matches();
};

void TestFilePattern::matches_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("expected");

    // "*.*" is the "every file" pattern, names without a dot included.
    QTest::newRow("all: plain") << "*.*"
                                << "notes.txt" << true;
    QTest::newRow("all: no dot") << "*.*"
                                 << "README" << true;
    QTest::newRow("all: two dots") << "*.*"
                                   << "a.tar.gz" << true;
    QTest::newRow("name.*: bare name") << "abc.*"
                                       << "abc" << true;
    QTest::newRow("name.*: longer name") << "abc.*"
                                         << "abcd" << false;
    QTest::newRow("name.*: extension") << "abc.*"
                                       << "ABC.doc" << true;

    QTest::newRow("case: upper name") << "*.txt"
                                      << "DATA.TXT" << true;
    QTest::newRow("case: upper pattern") << "*.ENC"
                                         << "x.enc" << true;
    QTest::newRow("case: non-ASCII") << "*.ÄB"
                                     << "x.äb" << true;
    QTest::newRow("suffix is anchored") << "*.txt"
                                        << "a.txt.bak" << false;
    QTest::newRow("prefix is anchored") << "*.txt"
                                        << "a.txtx" << false;

    QTest::newRow("list: first") << "*.txt;*.doc"
                                 << "a.txt" << true;
    QTest::newRow("list: second") << "*.txt;*.doc"
                                  << "b.DOC" << true;
    QTest::newRow("list: neither") << "*.txt;*.doc"
                                   << "c.pdf" << false;
    QTest::newRow("list: blanks around") << " *.txt ; *.doc "
                                         << "b.doc" << true;
    QTest::newRow("list: empty parts") << ";;*.doc;"
                                       << "b.doc" << true;

    // What the box holds while "*.txt" is typed, one keystroke at a time.
    QTest::newRow("typing *") << "*"
                              << "notes.txt" << true;
    QTest::newRow("typing *, no dot") << "*"
                                      << "README" << true;
    QTest::newRow("typing *.") << "*."
                               << "notes.txt" << false;
    QTest::newRow("typing *., no dot") << "*."
                                       << "README" << true;
    QTest::newRow("typing *.t") << "*.t"
                                << "notes.txt" << false;
    QTest::newRow("typing *.t, exact") << "*.t"
                                       << "x.t" << true;
    QTest::newRow("typing *.tx") << "*.tx"
                                 << "notes.txt" << false;

    QTest::newRow("question mark: one") << "?.c"
                                        << "a.c" << true;
    QTest::newRow("question mark: not two") << "?.c"
                                            << "ab.c" << false;
    QTest::newRow("question mark: not none") << "?.c"
                                             << ".c" << false;
    QTest::newRow("stars backtrack") << "*a*b*c"
                                     << "xaxbxbxc" << true;
    QTest::newRow("stars backtrack, miss") << "*a*b*c"
                                           << "xaxcxb" << false;
    QTest::newRow("literal name") << "Makefile"
                                  << "makefile" << true;
    QTest::newRow("nothing matches") << "*.zzz"
                                     << "a.txt" << false;

    // An empty box is no filter at all, rather than an empty list.
    QTest::newRow("empty text") << ""
                                << "a.txt" << true;
    QTest::newRow("only separators") << " ; "
                                     << "README" << true;
}

void TestFilePattern::matches()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, expected);
    QCOMPARE(FilePattern(pattern).matches(name), expected);
}

QTEST_APPLESS_MAIN(TestFilePattern)
#include "tst_filepattern.moc"
