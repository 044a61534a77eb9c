#include "filecommands.h"
#include "scriptedhost.h"

#include "testfiles.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

#include <aclapi.h>

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
            tree[name] = contents(path(name)); // a folder reads as unreadable
        return tree;
    }

    // Holds the file open as another program may: sharing nothing.
    void hold(const QString &name)
    {
        m_held.push_back(::CreateFileW(wide(QDir::toNativeSeparators(path(name))), GENERIC_READ, 0,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
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

    // Whatever ends a run after the staged file exists, it leaves that file nowhere and the old
    // output as it was, or whatever another program put at its name meanwhile. A new file shows
    // as the one it replaced did (archive aside: its contents are new), or plain, though staged
    // hidden.
    void interference_data()
    {
        QTest::addColumn<QString>("interference");
        QTest::addColumn<bool>("outputExists");
        QTest::addColumn<QString>("expected"); // part of the message; empty: no message
        QTest::addColumn<QByteArray>("left");  // at the output's name afterwards; "" the new bytes
        QTest::addColumn<int>("attributes");   // of the old output, and of what is left
        const int hiddenSystem = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
        QTest::newRow("none, hidden system file replaced")
            << "none" << true << "" << QByteArray() << hiddenSystem;
        QTest::newRow("stop") << "stop" << true << "" << QByteArray("old") << hiddenSystem;
        QTest::newRow("output held open during the run")
            << "hold" << true << "Could not write" << QByteArray("old") << 0;
        QTest::newRow("output replaced by another file meanwhile")
            << "swap" << true << "replaced by another file" << QByteArray("theirs") << 0;
        QTest::newRow("output removed meanwhile") << "remove" << true << "" << QByteArray() << 0;
        QTest::newRow("output created meanwhile")
            << "create" << false << "another program" << QByteArray("theirs") << 0;
    }

    void interference()
    {
        QFETCH(QString, interference);
        QFETCH(bool, outputExists);
        QFETCH(QString, expected);
        QFETCH(QByteArray, left);
        QFETCH(int, attributes);
        const QByteArray plain = randomBytes(2 * block);
        QVERIFY(writeAll(path("in"), plain));
        if (outputExists)
            QVERIFY(writeAll(path("in.enc"), "old"));
        if (attributes != 0)
            QVERIFY(::SetFileAttributesW(wide(path("in.enc")), DWORD(attributes)));
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
        const DWORD shown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
        QCOMPARE(int(::GetFileAttributesW(wide(path("in.enc"))) & shown), attributes);
    }

    // The new file keeps the old one's access list, but belongs to the user who makes it: the
    // question says so where the old one had another owner.
    void ownerCaveat_data()
    {
        QTest::addColumn<int>("owner"); // a WELL_KNOWN_SID_TYPE, or -1: the file's maker
        QTest::addColumn<QString>("caveat");
        QTest::newRow("own file") << -1 << "";
        QTest::newRow("the system's file") << int(WinLocalSystemSid) << "cannot be kept";
    }

    void ownerCaveat()
    {
        QFETCH(int, owner);
        QFETCH(QString, caveat);
        QVERIFY(writeAll(path("in"), "plain"));
        QVERIFY(writeAll(path("in.enc"), "old"));
        std::array<char, SECURITY_MAX_SID_SIZE> sid{};
        DWORD size = sid.size();
        if (owner >= 0) {
            wchar_t *name = const_cast<wchar_t *>(wide(path("in.enc")));
            PSID now = nullptr;
            PSECURITY_DESCRIPTOR descriptor = nullptr;
            QVERIFY(::CreateWellKnownSid(WELL_KNOWN_SID_TYPE(owner), nullptr, sid.data(), &size));
            const bool set =
                ::SetNamedSecurityInfoW(name, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION,
                                        sid.data(), nullptr, nullptr, nullptr) == 0 &&
                ::GetNamedSecurityInfoW(name, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &now,
                                        nullptr, nullptr, nullptr, &descriptor) == 0 &&
                ::EqualSid(now, sid.data());
            ::LocalFree(descriptor);
            if (!set)
                QSKIP("this system keeps no other owner on a file here (Wine 8 keeps none)");
        }
        run(true, "in");
        QCOMPARE(m_host.caveats.size(), 1);
        QVERIFY2(caveat.isEmpty() ? m_host.caveats[0].isEmpty()
                                  : m_host.caveats[0].contains(caveat),
                 qPrintable(m_host.caveats[0]));
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
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--slow-run") == 0) { // crashLeavesNoTrace's child
        ScriptedHost host;
        host.folder = QCoreApplication::arguments().at(2);
        host.name = QStringLiteral("in");
        host.onProgress = [](qint64, qint64) {
            std::fputs("running\n", stdout);
            std::fflush(stdout);
            ::Sleep(INFINITE); // until killed
        };
        Rc4State cipher;
        FileCommands(cipher, host).encrypt();
        return 1;
    }
    TestFileCommandsWin test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_filecommands_win.moc"
