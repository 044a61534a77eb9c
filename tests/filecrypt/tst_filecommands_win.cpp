#include "filecommands.h"
#include "scriptedhost.h"

#include "testfiles.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

using namespace varnok;

using testfiles::rc4;
using testfiles::writeAll;

// The commands on Windows: names in UTF-16, the password keyed by its Windows-1252 codes, and
// the system's own hazards (links at the output, files held open, read-only files, staged files
// that a run ended before it was done) met without a trace.
namespace {

constexpr qint64 block = qint64(1) << 20;

bool isLink(const std::wstring &path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
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
    // The literal form: the name as it stands, in a folder of any length. QFile's would take
    // NUL.enc for a device and "report " for "report".
    std::wstring native(const QString &name) const
    {
        return QString(u"\\\\?\\" + QDir::toNativeSeparators(QDir::cleanPath(path(name))))
            .toStdWString();
    }
    bool open(QFile &file, const QString &name, QIODevice::OpenMode mode) const
    {
        const bool reading = mode == QIODevice::ReadOnly;
        const HANDLE handle = ::CreateFileW(
            native(name).c_str(), reading ? GENERIC_READ : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
            reading ? OPEN_EXISTING : CREATE_ALWAYS, 0, nullptr);
        return handle != INVALID_HANDLE_VALUE &&
               file.open(::_open_osfhandle(intptr_t(handle), reading ? _O_RDONLY : 0), mode,
                         QFileDevice::AutoCloseHandle);
    }
    QByteArray contents(const QString &name) const
    {
        QFile file;
        return open(file, name, QIODevice::ReadOnly) ? file.readAll() : "<unreadable>";
    }
    bool put(const QString &name, const QByteArray &bytes) const
    {
        QFile file;
        return open(file, name, QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    QMap<QString, QByteArray> snapshot() const // a folder reads as unreadable
    {
        QMap<QString, QByteArray> tree;
        for (const QString &entry : entries())
            tree[entry] = contents(entry);
        return tree;
    }

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

    // Holds the file open as another program may: sharing nothing.
    void hold(const QString &name)
    {
        m_held.push_back(::CreateFileW(native(name).c_str(), GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
        QVERIFY(m_held.back() != INVALID_HANDLE_VALUE);
    }

    // Entries of the forms file:name, folder:name, readonly:name, held:name (a file held open
    // without sharing) and link:name>target (a symbolic link, where the system can make one).
    void createEntries(const QStringList &setup)
    {
        for (const QString &entry : setup) {
            const QString kind = entry.section(u':', 0, 0);
            const QString name = entry.section(u':', 1).section(u'>', 0, 0);
            const std::wstring target =
                QDir::toNativeSeparators(entry.section(u'>', 1)).toStdWString();
            if (kind == u"folder")
                QVERIFY(QDir().mkdir(path(name)));
            else if (kind == u"link")
                m_noLinks = !::CreateSymbolicLinkW(native(name).c_str(), target.c_str(),
                                                   SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
                            !isLink(native(name));
            else
                QVERIFY(put(name, "some bytes"));
            if (kind == u"readonly")
                QVERIFY(::SetFileAttributesW(native(name).c_str(), FILE_ATTRIBUTE_READONLY));
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
        for (const QString &entry : entries()) // by their names as they stand
            ::DeleteFileW(native(entry).c_str());
        QVERIFY(QDir(m_root.path() + QStringLiteral("/work")).removeRecursively());
    }

    // Names beyond any code page, a password keyed by its Windows-1252 codes: the bytes are
    // plain RC4 and Decrypt gives the input back.
    void roundTrip_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("size");
        QTest::newRow("Greek name")
            << QStringLiteral("\u0395\u03bb\u03bb\u03ac\u03b4\u03b1.txt") << 2 * block + 7;
        QTest::newRow("CJK name") << QStringLiteral("\u6587\u4ef6.dat") << qint64(1000);
        QTest::newRow("name outside the BMP, empty file")
            << QStringLiteral("\U0001F600") << qint64(0);
    }

    void roundTrip()
    {
        QFETCH(QString, name);
        QFETCH(qint64, size);
        const QByteArray plain = rc4("noise", QByteArray(size, 0)); // a keystream: no pattern
        QVERIFY(writeAll(path(name), plain));
        m_host.password = QStringLiteral("P\u00e4ssw\u00f6rd\u20ac");
        run(true, name);
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(entries(), QSet<QString>({name, name + ".enc"}));
        QCOMPARE(contents(name + ".enc"), rc4("P\xe4ssw\xf6rd\x80", plain));
        QVERIFY(QFile::remove(path(name)));
        run(false, name + ".enc");
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(name), plain);
    }

    // Each refusal comes with one message, asks nothing and changes nothing in the folder.
    void refusals_data()
    {
        QTest::addColumn<QString>("name"); // to encrypt
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QStringList>("expected"); // parts of the message
        QTest::newRow("missing file")
            << "ghost.txt" << QStringList() << QStringList{"ghost.txt", "not found"};
        QTest::newRow("path with backslashes")
            << "..\\a.txt" << QStringList() << QStringList{"path, not a file name"};
        QTest::newRow("drive-relative name or stream")
            << "C:a.txt" << QStringList() << QStringList{"C:a.txt", "does not allow \u201c:\u201d"};
        QTest::newRow("device name, no such file")
            << "NUL" << QStringList() << QStringList{"\\NUL\u2069", "not found"};
        QTest::newRow("input held open without sharing")
            << "a" << QStringList{"held:a"} << QStringList{"Could not open", "a"};
        QTest::newRow("folder as input")
            << "inner" << QStringList{"folder:inner"} << QStringList{"\\work\\inner", "folder"};
        QTest::newRow("folder as output")
            << "a" << QStringList{"file:a", "folder:a.enc"} << QStringList{"a.enc", "folder"};
        QTest::newRow("read-only output") << "a" << QStringList{"file:a", "readonly:a.enc"}
                                          << QStringList{"a.enc", "write-protected"};
        QTest::newRow("output held open without sharing")
            << "a" << QStringList{"file:a", "held:a.enc"} << QStringList{"Cannot replace", "a.enc"};
        QTest::newRow("symbolic link to a file in another folder at the output")
            << "a.txt"
            << QStringList{"file:a.txt", "file:../private.txt", "link:a.txt.enc>../private.txt"}
            << QStringList{"a.txt.enc", "symbolic link"};
    }

    void refusals()
    {
        QFETCH(QString, name);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, expected);
        createEntries(setup);
        if (m_noLinks)
            QSKIP("this system cannot make symbolic links here (Wine 8 makes none)");
        m_host.replaceAnswer = true;
        const auto before = snapshot();
        run(true, name);
        QCOMPARE(m_host.messages.size(), 1);
        for (const QString &part : expected)
            QVERIFY2(m_host.messages[0].contains(part), qPrintable(m_host.messages[0]));
        QCOMPARE(m_host.questions, QStringList());
        QCOMPARE(snapshot(), before);
    }

    // Names that Windows' own rules would take for a device or for another name, in a short
    // folder and in one past MAX_PATH, where those rules do not apply: a file the folder lists is
    // read as it stands, an output Windows could not keep is refused with what to do, and a file
    // replaced keeps the name it is listed under. Each file holds its own name.
    void windowsNames_data()
    {
        QTest::addColumn<bool>("longFolder");
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<bool>("encrypt");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("expected"); // parts of the message, if any
        QTest::addColumn<QString>("written");      // asked about first if in the setup
        const QString device = QStringLiteral("Windows keeps this name for a device");
        const QString trailing = QStringLiteral("ends in a space or a dot");
        for (const bool longFolder : {false, true}) {
            const auto row = [longFolder](const char *what, const QStringList &setup, bool encrypt,
                                          const QStringList &expected, const char *written = "") {
                QTest::addRow("%s, %s folder", what, longFolder ? "long" : "short")
                    << longFolder << setup << encrypt << setup[0] << expected
                    << QString::fromUtf8(written);
            };
            row("device", {"NUL.enc"}, false, {"\\NUL\u2069:", device, "NUL.enc"});
            row("device, an extension, any case", {"Com1.txt.enc"}, false,
                {"\\Com1.txt\u2069:", device});
            row("console in and out", {"CON.enc"}, true, {"\\CON.enc.enc\u2069:", device});
            row("trailing space", {"report .enc", "report"}, false, {"\\report \u2069:", trailing});
            row("trailing dot", {"report..enc", "report"}, false, {"\\report.\u2069:", trailing});
            row("colon, from Linux", {"10:30 notes"}, true, {"does not allow \u201c:\u201d"});
            row("input with a trailing space", {"report ", "report"}, true, {}, "report .enc");
            row("input named like a device", {"nul.e"}, false, {}, "n");
            row("output there in another case", {"LETTER.TXT.enc", "letter.txt"}, false, {},
                "letter.txt");
        }
    }

    void windowsNames()
    {
        QFETCH(bool, longFolder);
        QFETCH(QStringList, setup);
        QFETCH(bool, encrypt);
        QFETCH(QString, name);
        QFETCH(QStringList, expected);
        QFETCH(QString, written);
        if (longFolder) {
            m_host.folder = m_folder += u'/' + QString(125, u'l') + u'/' + QString(125, u'm');
            QVERIFY(QDir().mkpath(m_folder));
        }
        for (const QString &entry : setup)
            QVERIFY(put(entry, entry.toUtf8()));
        auto after = snapshot();
        if (!written.isEmpty())
            after[written] = rc4("secret", name.toUtf8());
        m_host.replaceAnswer = true;
        run(encrypt, name);
        QCOMPARE(m_host.messages.size(), expected.isEmpty() ? 0 : 1);
        for (const QString &part : expected)
            QVERIFY2(m_host.messages[0].contains(part), qPrintable(m_host.messages[0]));
        QCOMPARE(m_host.questions,
                 setup.contains(written) ? QStringList(path(written)) : QStringList());
        QCOMPARE(snapshot(), after);
    }

    // Whatever ends a run after the staged file exists, it leaves that file nowhere and the old
    // output as it was, or what another program put at its name meanwhile. The new file shows as
    // the one it replaced did (archive aside), or plain, though staged hidden.
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
        const QByteArray plain = rc4("noise", QByteArray(2 * block, 0));
        QVERIFY(writeAll(path("in"), plain));
        if (outputExists)
            QVERIFY(writeAll(path("in.enc"), "old"));
        if (attributes != 0)
            QVERIFY(::SetFileAttributesW(native("in.enc").c_str(), DWORD(attributes)));
        m_host.replaceAnswer = true;
        m_host.onProgress = [&](qint64 done, qint64) {
            if (interference == u"stop")
                m_host.stop = true;
            else if (interference == u"hold" && done == block)
                hold("in.enc");
            else if (interference == u"swap" && done == block && writeAll(path("theirs"), "theirs"))
                ::MoveFileExW(native("theirs").c_str(), native("in.enc").c_str(),
                              MOVEFILE_REPLACE_EXISTING);
            else if (interference == u"remove")
                QFile::remove(path("in.enc"));
            else if (interference == u"create")
                writeAll(path("in.enc"), "theirs");
        };
        run(true, "in");
        QCOMPARE(m_host.caveats, QStringList(m_host.caveats.size(), QString())); // own old file
        QCOMPARE(m_host.messages.size(), expected.isEmpty() ? 0 : 1);
        if (!expected.isEmpty())
            QVERIFY2(m_host.messages[0].contains(expected), qPrintable(m_host.messages[0]));
        for (HANDLE handle : std::exchange(m_held, {}))
            ::CloseHandle(handle);
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
        QCOMPARE(contents("in.enc"), left.isEmpty() ? rc4("secret", plain) : left);
        const DWORD shown = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY;
        QCOMPARE(int(::GetFileAttributesW(native("in.enc").c_str()) & shown), attributes);
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
        QVERIFY(writeAll(path("in"), rc4("noise", QByteArray(3 * block, 0))));
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
