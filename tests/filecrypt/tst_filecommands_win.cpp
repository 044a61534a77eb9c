#include "filecommands.h"
#include "scriptedhost.h"

#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

using namespace varnok;

using testfiles::rc4;
using testfiles::writeAll;

// The commands on Windows: names in UTF-16, the password keyed by its Windows-1252 codes, and
// the system's own hazards (links at the output, files held open, read-only files, staged files
// that a run ended before it was done) met without a trace.
namespace {

constexpr qint64 block = qint64(1) << 20;

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

const wchar_t *wide(const QString &path)
{
    return reinterpret_cast<const wchar_t *>(path.utf16());
}

// A handle that another program holds on the file, sharing nothing.
HANDLE holdWithoutSharing(const QString &path)
{
    return ::CreateFileW(wide(QDir::toNativeSeparators(path)), GENERIC_READ, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The child of crashLeavesNoTrace: encrypts "in" in folder and says "running" after the first
// block, then waits to be ended from outside.
int slowRun(const QString &folder)
{
    ScriptedHost host;
    host.folder = folder;
    host.name = QStringLiteral("in");
    host.onProgress = [](qint64, qint64) {
        std::fputs("running\n", stdout);
        std::fflush(stdout);
        ::Sleep(INFINITE);
    };
    Rc4State cipher;
    FileCommands(cipher, host).encrypt();
    return 1;
}

} // namespace

class TestFileCommandsWin : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_folder;
    ScriptedHost m_host;
    Rc4State m_cipher;
    std::vector<HANDLE> m_held;
    bool m_noLinks = false; // a link of the setup could not be made

    QString path(const QString &name) const { return m_folder + u'/' + name; }

    void run(bool encrypt, const QString &name)
    {
        m_host.name = name;
        FileCommands commands(m_cipher, m_host);
        encrypt ? commands.encrypt() : commands.decrypt();
    }

    QSet<QString> entries() const
    {
        const QStringList names = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot);
        return QSet<QString>(names.begin(), names.end());
    }

    QMap<QString, QByteArray> snapshot() const
    {
        QMap<QString, QByteArray> tree;
        for (const QString &name : entries())
            tree[name] =
                QFileInfo(path(name)).isDir() ? QByteArray("<folder>") : contents(path(name));
        return tree;
    }

    void hold(const QString &name)
    {
        m_held.push_back(holdWithoutSharing(path(name)));
        QVERIFY(m_held.back() != INVALID_HANDLE_VALUE);
    }

    // Entries of the forms file:name, folder:name, readonly:name, held:name (a file held open
    // without sharing) and link:name>target (a symbolic link, where the system can make one).
    void createEntries(const QStringList &setup)
    {
        for (const QString &entry : setup) {
            const QString kind = entry.section(u':', 0, 0);
            const QString name = entry.section(u':', 1).section(u'>', 0, 0);
            if (kind == u"folder") {
                QVERIFY(QDir().mkdir(path(name)));
                continue;
            }
            if (kind == u"link") {
                const QString target = QDir::toNativeSeparators(entry.section(u'>', 1));
                const bool made =
                    ::CreateSymbolicLinkW(wide(QDir::toNativeSeparators(path(name))), wide(target),
                                          SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
                const DWORD attributes = ::GetFileAttributesW(wide(path(name)));
                m_noLinks = !made || attributes == INVALID_FILE_ATTRIBUTES ||
                            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
                continue;
            }
            QVERIFY(writeAll(path(name), "some bytes"));
            if (kind == u"readonly")
                QVERIFY(::SetFileAttributesW(wide(path(name)), FILE_ATTRIBUTE_READONLY));
            if (kind == u"held")
                hold(name);
        }
    }

private slots:
    void init()
    {
        QVERIFY(m_root.isValid());
        m_folder = m_root.path() + QStringLiteral("/work");
        QVERIFY(QDir().mkpath(m_folder));
        m_host = ScriptedHost();
        m_host.folder = m_folder;
        m_cipher = Rc4State();
        m_noLinks = false;
    }

    void cleanup()
    {
        for (HANDLE handle : std::exchange(m_held, {}))
            ::CloseHandle(handle);
        for (const QString &name : entries())
            ::SetFileAttributesW(wide(path(name)), FILE_ATTRIBUTE_NORMAL);
        QVERIFY(QDir(m_folder).removeRecursively());
    }

    // Names beyond any code page, a password keyed by its Windows-1252 codes: the bytes are
    // plain RC4 and Decrypt gives the input back.
    void roundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<qint64>("size");
        const QString western = QStringLiteral("P\u00e4ssw\u00f6rd\u20ac");
        const QByteArray westernKey("P\xe4ssw\xf6rd\x80");
        QTest::newRow("Greek name") << QStringLiteral("\u0395\u03bb\u03bb\u03ac\u03b4\u03b1.txt")
                                    << western << westernKey << 2 * block + 7;
        QTest::newRow("CJK name") << QStringLiteral("\u6587\u4ef6.dat") << western << westernKey
                                  << qint64(1000);
        // Wine sets no MAX_PATH limit; Windows does, unless the path is in its literal form.
        QTest::newRow("path past MAX_PATH")
            << QString(230, u'n') << QStringLiteral("k") << QByteArray("k") << qint64(100);
        QTest::newRow("name outside the BMP, empty file")
            << QStringLiteral("\U0001F600") << QStringLiteral("k") << QByteArray("k") << qint64(0);
    }

    void roundTrip()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QByteArray, key);
        QFETCH(qint64, size);
        const QByteArray plain = randomBytes(size);
        QVERIFY(writeAll(path(name), plain));
        m_host.password = password;
        run(true, name);
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(entries(), QSet<QString>({name, name + ".enc"}));
        QCOMPARE(contents(path(name + ".enc")), rc4(key, plain));
        QVERIFY(QFile::remove(path(name)));
        run(false, name + ".enc");
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(entries(), QSet<QString>({name, name + ".enc"}));
        QCOMPARE(contents(path(name)), plain);
    }

    // Each refusal comes with one message, asks nothing and changes nothing in the folder.
    void refusals_data()
    {
        QTest::addColumn<bool>("encrypt");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("expected"); // parts of the message
        QTest::newRow("missing file")
            << true << "ghost.txt" << QStringList() << QStringList{"ghost.txt", "not found"};
        QTest::newRow("path with backslashes")
            << true << "..\\a.txt" << QStringList() << QStringList{"path, not a file name"};
        QTest::newRow("drive-relative name")
            << true << "C:a.txt" << QStringList() << QStringList{"path, not a file name"};
        QTest::newRow("device as input")
            << true << "NUL" << QStringList() << QStringList{"NUL", "not a regular file"};
        QTest::newRow("input held open without sharing")
            << true << "a" << QStringList{"held:a"} << QStringList{"Could not open", "a"};
        QTest::newRow("folder as input") << false << "inner.enc" << QStringList{"folder:inner.enc"}
                                         << QStringList{"\\work\\inner.enc", "folder"};
        QTest::newRow("folder as output") << true << "a" << QStringList{"file:a", "folder:a.enc"}
                                          << QStringList{"a.enc", "folder"};
        QTest::newRow("read-only output") << true << "a" << QStringList{"file:a", "readonly:a.enc"}
                                          << QStringList{"a.enc", "write-protected"};
        QTest::newRow("output held open without sharing")
            << true << "a" << QStringList{"file:a", "held:a.enc"}
            << QStringList{"Cannot replace", "a.enc"};
        QTest::newRow("symbolic link to a file in another folder at the output")
            << false << "a.txt.enc"
            << QStringList{"file:a.txt.enc", "file:../private.txt", "link:a.txt>../private.txt"}
            << QStringList{"a.txt", "symbolic link"};
    }

    void refusals()
    {
        QFETCH(bool, encrypt);
        QFETCH(QString, name);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, expected);
        createEntries(setup);
        if (m_noLinks)
            QSKIP("this system cannot make symbolic links here (Wine 8 makes none)");
        m_host.replaceAnswer = true;
        const auto before = snapshot();
        run(encrypt, name);
        QCOMPARE(m_host.messages.size(), 1);
        for (const QString &part : expected)
            QVERIFY2(m_host.messages[0].contains(part), qPrintable(m_host.messages[0]));
        QCOMPARE(m_host.questions, QStringList());
        QCOMPARE(snapshot(), before);
    }

    // The new file shows as the old one did; a new output is a plain visible file, though it
    // was staged hidden. (Archive is set either way: the contents are new.)
    void attributes_data()
    {
        QTest::addColumn<int>("old"); // 0: no old output
        QTest::addColumn<int>("expected");
        QTest::newRow("new output") << 0 << 0;
        QTest::newRow("hidden") << int(FILE_ATTRIBUTE_HIDDEN) << int(FILE_ATTRIBUTE_HIDDEN);
        QTest::newRow("hidden system file") << int(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)
                                            << int(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    }

    void attributes()
    {
        QFETCH(int, old);
        QFETCH(int, expected);
        QVERIFY(writeAll(path("in"), "plain"));
        if (old != 0) {
            QVERIFY(writeAll(path("in.enc"), "old"));
            QVERIFY(::SetFileAttributesW(wide(path("in.enc")), DWORD(old)));
        }
        m_host.replaceAnswer = true;
        run(true, "in");
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(m_host.questions.size(), old != 0 ? 1 : 0);
        QCOMPARE(contents(path("in.enc")), rc4("secret", "plain"));
        const DWORD shown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
        QCOMPARE(int(::GetFileAttributesW(wide(path("in.enc"))) & shown), expected);
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
    }

    // Whatever ends a run after the staged file exists, it leaves that file nowhere and the old
    // output as it was, or whatever another program put at its name meanwhile.
    void interference_data()
    {
        QTest::addColumn<QString>("interference");
        QTest::addColumn<bool>("outputExists");
        QTest::addColumn<QString>("expected"); // part of the message; empty: no message
        QTest::addColumn<QByteArray>("left");  // at the output's name afterwards; "" the new bytes
        QTest::newRow("stop") << "stop" << true << "" << QByteArray("old");
        QTest::newRow("output held open during the run")
            << "hold" << true << "Could not write" << QByteArray("old");
        QTest::newRow("output replaced by another file meanwhile")
            << "swap" << true << "replaced by another file" << QByteArray("theirs");
        QTest::newRow("output removed meanwhile") << "remove" << true << "" << QByteArray();
        QTest::newRow("output created meanwhile")
            << "create" << false << "another program" << QByteArray("theirs");
    }

    void interference()
    {
        QFETCH(QString, interference);
        QFETCH(bool, outputExists);
        QFETCH(QString, expected);
        QFETCH(QByteArray, left);
        const QByteArray plain = randomBytes(2 * block);
        QVERIFY(writeAll(path("in"), plain));
        if (outputExists)
            QVERIFY(writeAll(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        m_host.onProgress = [&](qint64, qint64) {
            if (interference == u"stop")
                m_host.stop = true;
            else if (interference == u"hold" && m_held.empty())
                hold("in.enc");
            else if (interference == u"swap" && !QFile::exists(path("theirs")) &&
                     contents(path("in.enc")) == "old" && writeAll(path("theirs"), "theirs"))
                ::MoveFileExW(wide(path("theirs")), wide(path("in.enc")),
                              MOVEFILE_REPLACE_EXISTING);
            else if (interference == u"remove")
                QFile::remove(path("in.enc"));
            else if (interference == u"create")
                writeAll(path("in.enc"), "theirs");
        };
        run(true, "in");
        QCOMPARE(m_host.messages.size(), expected.isEmpty() ? 0 : 1);
        if (!expected.isEmpty())
            QVERIFY2(m_host.messages[0].contains(expected), qPrintable(m_host.messages[0]));
        for (HANDLE handle : std::exchange(m_held, {}))
            ::CloseHandle(handle);
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
        QCOMPARE(contents(path("in.enc")), left.isEmpty() ? rc4("secret", plain) : left);
    }

    // A staged file that a run ended before it was done is removed by the next command in its
    // folder; one that a live run still writes is not, nor other hidden files.
    void staleStagedFilesAreRemoved()
    {
        QVERIFY(writeAll(path("in"), "data"));
        for (const char *name : {".varnok-1.part", ".varnok-live.part", ".varnok-2.txt"})
            QVERIFY(writeAll(path(name), "partial"));
        QVERIFY(QDir().mkdir(path(".varnok-dir.part")));
        hold(".varnok-live.part");
        run(true, "in");
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc", ".varnok-live.part", ".varnok-2.txt",
                                           ".varnok-dir.part"}));
    }

    // A run killed outright (TerminateProcess, as by the task manager) leaves no staged file:
    // the system deletes it when the process's handles close.
    void crashLeavesNoTrace()
    {
        QVERIFY(writeAll(path("in"), randomBytes(3 * block)));
        QProcess child;
        child.start(QCoreApplication::applicationFilePath(), {"--slow-run", m_folder});
        QVERIFY(child.waitForReadyRead(20000));
        QCOMPARE(child.readLine().trimmed(), QByteArray("running"));
        QCOMPARE(entries().size(), 2); // the input and the staged file
        child.kill();
        QVERIFY(child.waitForFinished(20000));
        QCOMPARE(entries(), QSet<QString>({"in"}));
    }
};

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--slow-run") == 0) {
        QCoreApplication app(argc, argv);
        return slowRun(QCoreApplication::arguments().at(2));
    }
    QCoreApplication app(argc, argv);
    TestFileCommandsWin test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_filecommands_win.moc"
