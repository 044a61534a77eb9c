#include "cliprogram.h"
#include "console.h"
#include "consolehost.h"

#include "clifolder.h"

#include <QTemporaryDir>
#include <QTest>

using namespace varnok;

namespace {

// Standard input as a test script gives it, and what the program writes.
class ScriptedConsole final : public Console
{
public:
    bool inputTerminal = false;
    bool errorTerminal = false;
    QStringList lines;
    QString out;
    QString err;

    bool inputIsTerminal() override { return inputTerminal; }
    bool errorIsTerminal() override { return errorTerminal; }
    std::optional<QString> readLine(const QString &prompt, bool hidden) override
    {
        err += prompt + (hidden ? QStringLiteral("(hidden)") : QString());
        return lines.isEmpty() ? std::nullopt : std::make_optional(lines.takeFirst());
    }
    void writeOut(const QString &text) override { out += text; }
    void writeError(const QString &text) override { err += text; }
};

// Messages as a reader sees them: without the isolates around names, with '/' separators.
QString plain(QString text)
{
    return text.remove(QChar(0x2068)).remove(QChar(0x2069)).replace(u'\\', u'/');
}

} // namespace

class TestCli : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void progressLineOnlyOnATerminal();
};

// Each row: the command line after the program's name; whether standard input is a terminal
// and the lines it gives; the files made beforehand; then the exit status, a text that standard
// error must hold (none: it stays empty), one that standard output must hold, and the files
// afterwards (see clifolder::firstMismatch; the key is the first line given).
void TestCli::commandLine_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<bool>("terminal");
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("err");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QStringList>("after");

    const QStringList secret{"secret"};
    const QStringList plainFiles{"a.txt", "b.txt"};
    QTest::newRow("a script encrypts each file, saying nothing on stderr")
        << "encrypt a.txt b.txt" << false << secret << plainFiles << 0 << ""
        << "./a.txt -> ./a.txt.enc\n./b.txt -> ./b.txt.enc\n2 files encrypted, 0 failed\n"
        << QStringList{"a.txt.enc=rc4 a.txt", "b.txt.enc=rc4 b.txt", "a.txt=original"};
    QTest::newRow("a failure stops nothing else")
        << "encrypt none.txt b.txt" << false << secret << plainFiles << 1
        << "varnok-cli: The file ./none.txt was not found.\n"
        << "1 file encrypted, 1 failed" << QStringList{"b.txt.enc=rc4 b.txt"};
    QTest::newRow("no password")
        << "decrypt a.txt" << false << QStringList() << plainFiles << 1
        << "varnok-cli: You need to enter a password for encrypten or decrypten\n"
        << "0 files decrypted, 1 failed" << QStringList{"a=missing"};
    QTest::newRow("17 characters") << "encrypt a.txt" << false << QStringList{"seventeen chars!!"}
                                   << plainFiles << 1 << "varnok-cli: Maxlength 16 characters\n"
                                   << "0 files encrypted" << QStringList{"a.txt.enc=missing"};
    QTest::newRow("a character Windows-1252 lacks")
        << "encrypt a.txt" << false << QStringList{"\u65e5\u672c"} << plainFiles << 1
        << "varnok-cli: The password contains a character that has no code in the "
           "Western (Windows-1252) character set"
        << "0 files encrypted" << QStringList{"a.txt.enc=missing"};

    const QStringList existing{"a.txt", "a.txt.enc"};
    QTest::newRow("an output that exists, no terminal")
        << "encrypt a.txt" << false << secret << existing << 1
        << "varnok-cli: ./a.txt.enc already exists and was kept: without a "
           "terminal to ask on, only --force replaces it.\n"
        << "0 files encrypted, 1 failed" << QStringList{"a.txt.enc=original"};
    QTest::newRow("--force, after the file")
        << "encrypt a.txt --force" << false << secret << existing << 0 << ""
        << "1 file encrypted" << QStringList{"a.txt.enc=rc4 a.txt"};
    QTest::newRow("-f, before the command, asks nothing")
        << "-f encrypt a.txt" << true << QStringList{"secret", "secret"} << existing << 0
        << "Password again: (hidden)\n"
        << "1 file encrypted" << QStringList{"a.txt.enc=rc4 a.txt"};
    QTest::newRow("after --, a name like an option")
        << "encrypt -- -f" << false << secret << QStringList{"-f"} << 0 << ""
        << "./-f -> ./-f.enc" << QStringList{"-f.enc=rc4 -f"};

    const auto usage = [](const char *error) -> QString {
        return QStringLiteral("varnok-cli: ") + QLatin1String(error) + QStringLiteral("\nUsage: ");
    };
    QTest::newRow("no file") << "decrypt -f" << false << secret << plainFiles << 2
                             << usage("Give at least one file to decrypt.") << "" << QStringList();
    QTest::newRow("commands are lower case")
        << "Encrypt a.txt" << false << secret << plainFiles << 2
        << usage("Unknown command 'Encrypt': give encrypt or decrypt.") << ""
        << QStringList{"a.txt.enc=missing"};
    QTest::newRow("no password option")
        << "encrypt --password=secret a.txt" << false << secret << plainFiles << 2
        << usage("Unknown option 'password'.") << "" << QStringList{"a.txt.enc=missing"};
    QTest::newRow("--help wins") << "encrypt a.txt --help" << false << secret << plainFiles << 0
                                 << ""
                                 << "-f, --force" << QStringList{"a.txt.enc=missing"};
}

void TestCli::commandLine()
{
    QFETCH(QString, arguments);
    QFETCH(bool, terminal);
    QFETCH(QStringList, lines);
    QFETCH(QStringList, present);
    QFETCH(int, status);
    QFETCH(QString, err);
    QFETCH(QString, out);
    QFETCH(QStringList, after);

    QTemporaryDir root;
    QDir folder(root.path());
    QVERIFY(clifolder::create(folder, present));
    ScriptedConsole console;
    console.inputTerminal = terminal;
    console.lines = lines;
    const QString password = lines.value(0);
    const QString current = QDir::currentPath();
    QDir::setCurrent(folder.path());
    const int exitStatus =
        runCli(console, QStringList{"varnok-cli"} << arguments.split(u' ', Qt::SkipEmptyParts));
    QDir::setCurrent(current);

    QCOMPARE(exitStatus, status);
    QVERIFY2(err.isEmpty() ? console.err.isEmpty() : plain(console.err).contains(err),
             qPrintable(console.err));
    QVERIFY2(plain(console.out).contains(out), qPrintable(console.out));
    QCOMPARE(clifolder::firstMismatch(folder, after, password), QString());
}

// Half way through a run that has taken a while; then the line goes before anything else.
void TestCli::progressLineOnlyOnATerminal()
{
    for (const bool terminal : {true, false}) {
        ScriptedConsole console;
        console.errorTerminal = terminal;
        ConsoleHost host(console, false);
        host.showBusyPointer();
        QTest::qWait(400);
        host.showProgress(qint64(50) << 20, qint64(100) << 20);
        QCOMPARE(console.err.startsWith(QStringLiteral("\r50%  ")), terminal);
        QCOMPARE(console.err.endsWith(QStringLiteral(" MiB/s")), terminal);
        host.showMessage(QStringLiteral("Could not write"));
        const QStringList parts = console.err.split(u'\r');
        QCOMPARE(parts.last(), QStringLiteral("varnok-cli: Could not write\n"));
        if (terminal) // the line is blanked, and the message starts at the line's start
            QCOMPARE(parts.value(parts.size() - 2), QString(parts.value(1).size(), u' '));
    }
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
