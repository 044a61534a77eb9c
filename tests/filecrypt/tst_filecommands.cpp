#include "filecommands.h"
#include "scriptedhost.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace varnok;

namespace {

const QString emptyPasswordMessage =
    QStringLiteral("You need to enter a password for encrypten or decrypten");
constexpr qint64 block = qint64(1) << 20;

// Plain RC4, one byte at a time: the reference the commands' output must match.
QByteArray rc4(const QByteArray &key, const QByteArray &data)
{
    Rc4State state;
    state.RC4ini(std::span(reinterpret_cast<const std::uint8_t *>(key.data()), key.size()));
    QByteArray out(data.size(), Qt::Uninitialized);
    for (qsizetype k = 0; k < data.size(); ++k)
        out[k] = char(state.EnDeCryptSingle(std::uint8_t(data[k])));
    return out;
}

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (auto &b : bytes)
        b = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

int modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

// Root writes through any permission bits. For the duration, become the unprivileged user
// 'nobody'; the saved user id 0 lets the destructor come back.
class AsNobody final
{
public:
    AsNobody() { switched = ::setresuid(65534, 65534, 0) == 0; }
    ~AsNobody()
    {
        if (switched && ::setresuid(0, 0, 0) != 0)
            qFatal("could not become root again");
    }
    Q_DISABLE_COPY_MOVE(AsNobody)
    bool switched = false;
};

// Lets files grow to at most `bytes` bytes, as a full disk would; writes past it fail with
// EFBIG instead of killing the process.
class FileSizeLimit final
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        m_oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_old);
        std::signal(SIGXFSZ, m_oldHandler);
    }
    Q_DISABLE_COPY_MOVE(FileSizeLimit)

private:
    rlimit m_old{};
    void (*m_oldHandler)(int) = nullptr;
};

enum class Interference {
    RemoveInput,
    InputBecomesFolder,
    OutputBecomesFolder,
    InputShrinks,
    HostThrows,
    HostThrowsNonStandard
};

} // namespace

class TestFileCommands : public QObject
{
    Q_OBJECT

    QTemporaryDir m_root;
    QString m_folder; // a folder inside m_root, so that writes beside it would show too
    ScriptedHost m_host;
    Rc4State m_cipher;

    QString path(const QString &name) const { return m_folder + u'/' + name; }

    // Runs one command; returns its curFile.
    QString run(bool encrypt, const QString &name)
    {
        m_host.name = name;
        FileCommands commands(m_cipher, m_host);
        encrypt ? commands.encrypt() : commands.decrypt();
        return commands.curFile;
    }

    // Every entry under the temporary root with its contents: equal snapshots mean that
    // nothing was written, created or left behind.
    QMap<QString, QByteArray> snapshot() const
    {
        QMap<QString, QByteArray> tree;
        QDirIterator it(m_root.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            tree[info.filePath()] = info.isDir()    ? QByteArray("<folder>")
                                    : info.isFile() ? contents(info.filePath())
                                                    : QByteArray("<special>");
        }
        return tree;
    }

    QSet<QString> entries() const
    {
        const QStringList names = QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot);
        return QSet<QString>(names.begin(), names.end());
    }

    // After any run: the pointer is back to default and no message hid under the busy one.
    void checkPointer() const
    {
        QVERIFY2(m_host.pointerBalanced(), qPrintable(m_host.pointer.join(u',')));
        for (const auto &m : m_host.messages)
            QVERIFY2(!m.startsWith(u'('), qPrintable(m));
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
    }

    void cleanup()
    {
        QVERIFY(QDir(m_root.path()).removeRecursively());
        QVERIFY(QDir().mkpath(m_root.path()));
    }

    void outputNamesAndBytes_data()
    {
        QTest::addColumn<bool>("encrypt");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("output");
        QTest::newRow("encrypt appends .enc") << true << "letter.txt"
                                              << "letter.txt.enc";
        QTest::newRow("decrypt cuts .enc") << false << "letter.txt.enc"
                                           << "letter.txt";
        QTest::newRow("decrypt does not look for .enc") << false << "report.doc"
                                                        << "report";
        QTest::newRow("decrypt five characters") << false << "a.enc"
                                                 << "a";
        QTest::newRow("encrypt twice") << true << "letter.txt.enc"
                                       << "letter.txt.enc.enc";
        QTest::newRow("name with spaces") << true << " my file "
                                          << " my file .enc";
    }

    void outputNamesAndBytes()
    {
        QFETCH(bool, encrypt);
        QFETCH(QString, name);
        QFETCH(QString, output);
        const QByteArray input = randomBytes(5000);
        QVERIFY(writeFile(path(name), input));

        const QString curFile = run(encrypt, name);

        QCOMPARE(curFile, path(encrypt ? name : output)); // Decrypt ends on the output
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(m_host.pointer, QStringList({"busy", "default"}));
        QCOMPARE(entries(), QSet<QString>({name, output}));
        QCOMPARE(contents(path(output)), rc4("secret", input));
        QCOMPARE(contents(path(name)), input);
    }

    // Nothing is normalised: a folder path ending in the separator gives two in a row.
    void folderEndingInSeparator()
    {
        QVERIFY(writeFile(path("letter.txt"), "text"));
        m_host.folder = m_folder + u'/';
        QCOMPARE(run(true, "letter.txt"), m_folder + QStringLiteral("//letter.txt"));
        QCOMPARE(contents(path("letter.txt.enc")), rc4("secret", "text"));
    }

    // The key is the password's Windows-1252 codes; the bytes are plain RC4 whatever the size
    // relative to the block the commands stream in.
    void bytesArePlainRc4_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty file") << "k" << QByteArray("k") << qint64(0);
        QTest::newRow("one byte") << "k" << QByteArray("k") << qint64(1);
        QTest::newRow("spaces only") << "   " << QByteArray("   ") << qint64(777);
        QTest::newRow("16 characters, one block")
            << "0123456789abcdef" << QByteArray("0123456789abcdef") << block;
        QTest::newRow("Western characters, blocks and a bit")
            << QStringLiteral("\u00e9t\u20ac") << QByteArray("\xe9t\x80") << 2 * block + 7;
        QTest::newRow("more blocks than are in flight at once")
            << "key" << QByteArray("key") << 4 * block - 1;
    }

    void bytesArePlainRc4()
    {
        QFETCH(QString, password);
        QFETCH(QByteArray, key);
        QFETCH(qint64, size);
        const QByteArray input = randomBytes(size);
        QVERIFY(writeFile(path("in"), input));
        m_host.password = password;
        m_cipher.idxI = 17; // left over from an earlier run: each run starts afresh
        m_cipher.idxJ = 200;

        run(true, "in");

        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(path("in.enc")), rc4(key, input));
        QCOMPARE(m_host.progress.empty(), size == 0);
        QVERIFY(!m_host.progressOffThread);
        if (size > 0)
            QCOMPARE(m_host.progress.back(), std::make_pair(size, size));
    }

    void roundTripAndRerun()
    {
        const QByteArray plain = randomBytes(block + 123);
        QVERIFY(writeFile(path("letter.txt"), plain));
        run(true, "letter.txt");
        const QByteArray encrypted = contents(path("letter.txt.enc"));
        QVERIFY(encrypted != plain);

        m_host.replaceAnswer = true;
        run(true, "letter.txt");
        QCOMPARE(contents(path("letter.txt.enc")), encrypted);

        QVERIFY(QFile::remove(path("letter.txt")));
        run(false, "letter.txt.enc");
        QCOMPARE(contents(path("letter.txt")), plain);
        QCOMPARE(m_host.messages, QStringList());
    }

    void wrongPasswordGivesOtherBytesSilently()
    {
        const QByteArray plain = randomBytes(4096);
        QVERIFY(writeFile(path("letter.txt.enc"), rc4("secret", plain)));
        m_host.password = QStringLiteral("Secret");
        run(false, "letter.txt.enc");
        QCOMPARE(m_host.messages, QStringList());
        const QByteArray wrong = contents(path("letter.txt"));
        QCOMPARE(wrong.size(), plain.size());
        QVERIFY(wrong != plain);
    }

    void emptyPasswordTouchesNothing()
    {
        QVERIFY(writeFile(path("letter.txt"), "text"));
        m_host.password.clear();
        m_cipher.idxI = 3;
        m_cipher.idxJ = 4;
        const auto before = snapshot();
        run(true, "letter.txt");
        QCOMPARE(m_host.messages, QStringList(emptyPasswordMessage));
        QCOMPARE(m_host.pointer, QStringList());
        QCOMPARE(m_cipher.idxI, 0);
        QCOMPARE(m_cipher.idxJ, 0);
        QCOMPARE(snapshot(), before);
    }

    // Each refusal comes with one message and leaves every folder exactly as it was.
    void refusals_data()
    {
        QTest::addColumn<bool>("encrypt");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("setup");    // file:, folder:, fifo: entries to create
        QTest::addColumn<QStringList>("expected"); // parts of the message
        const QString pwd = QStringLiteral("secret");
        const QString work = QStringLiteral("/work/");
        QTest::newRow("password outside Windows-1252")
            << true << QStringLiteral("z\u0142oty") << "a.txt" << QStringList{"file:a.txt"}
            << QStringList{"password", "Windows-1252"};
        QTest::newRow("empty name")
            << true << pwd << "" << QStringList{"file:a.txt"} << QStringList{"empty"};
        QTest::newRow("missing file")
            << true << pwd << "ghost.txt" << QStringList() << QStringList{"ghost.txt", "not found"};
        QTest::newRow("folder as input")
            << false << pwd << "inner.enc" << QStringList{"folder:inner.enc"}
            << QStringList{work + "inner.enc", "folder"};
        QTest::newRow("pipe as input") << true << pwd << "pipe" << QStringList{"fifo:pipe"}
                                       << QStringList{work + "pipe", "not a regular file"};
        QTest::newRow("decrypt four characters")
            << false << pwd << "a.en" << QStringList{"file:a.en"} << QStringList{"a.en", "four"};
        QTest::newRow("decrypt one character")
            << false << pwd << "a" << QStringList{"file:a"} << QStringList{work + "a", "four"};
        QTest::newRow("folder as output")
            << true << pwd << "a" << QStringList{"file:a", "folder:a.enc"}
            << QStringList{work + "a.enc", "folder"};
        QTest::newRow("pipe as output") << true << pwd << "a" << QStringList{"file:a", "fifo:a.enc"}
                                        << QStringList{work + "a.enc", "not a regular file"};
    }

    void refusals()
    {
        QFETCH(bool, encrypt);
        QFETCH(QString, password);
        QFETCH(QString, name);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, expected);
        for (const QString &entry : setup) {
            const QString kind = entry.section(u':', 0, 0);
            const QString p = path(entry.section(u':', 1));
            if (kind == u"file")
                QVERIFY(writeFile(p, "some bytes"));
            else if (kind == u"folder")
                QVERIFY(QDir().mkdir(p));
            else
                QCOMPARE(::mkfifo(QFile::encodeName(p).constData(), 0644), 0);
        }
        m_host.password = password;
        const auto before = snapshot();

        run(encrypt, name);

        QCOMPARE(m_host.messages.size(), 1);
        for (const QString &part : expected)
            QVERIFY2(m_host.messages[0].contains(part), qPrintable(m_host.messages[0]));
        QCOMPARE(m_host.questions, QStringList());
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    void replaceOnlyWhenConfirmed_data()
    {
        QTest::addColumn<bool>("answer");
        QTest::newRow("no keeps the file") << false;
        QTest::newRow("yes replaces it whole") << true;
    }

    void replaceOnlyWhenConfirmed()
    {
        QFETCH(bool, answer);
        const QByteArray plain = QByteArray("short plain text");
        const QByteArray old = randomBytes(3000); // longer: no stale tail may remain
        QVERIFY(writeFile(path("letter.txt"), plain));
        QVERIFY(writeFile(path("letter.txt.enc"), old));
        m_host.replaceAnswer = answer;

        run(true, "letter.txt");

        QCOMPARE(m_host.questions, QStringList(path("letter.txt.enc")));
        QVERIFY(!m_host.busyDuringQuestion);
        QCOMPARE(m_host.messages, QStringList());
        checkPointer();
        QCOMPARE(contents(path("letter.txt.enc")), answer ? rc4("secret", plain) : old);
        QCOMPARE(entries(), QSet<QString>({"letter.txt", "letter.txt.enc"}));
    }

    void permissions_data()
    {
        QTest::addColumn<int>("inputMode");
        QTest::addColumn<int>("existingOutputMode"); // -1: no output yet
        QTest::addColumn<int>("expectedMode");
        QTest::newRow("new output of a private file") << 0600 << -1 << 0600;
        QTest::newRow("new output of a shared file") << 0644 << -1 << 0644;
        QTest::newRow("new output of a group file") << 0640 << -1 << 0640;
        QTest::newRow("replaced output keeps its bits") << 0600 << 0604 << 0604;
    }

    void permissions()
    {
        QFETCH(int, inputMode);
        QFETCH(int, existingOutputMode);
        QFETCH(int, expectedMode);
        QVERIFY(writeFile(path("in"), "data"));
        QCOMPARE(::chmod(QFile::encodeName(path("in")).constData(), mode_t(inputMode)), 0);
        if (existingOutputMode >= 0) {
            QVERIFY(writeFile(path("in.enc"), "old"));
            QCOMPARE(
                ::chmod(QFile::encodeName(path("in.enc")).constData(), mode_t(existingOutputMode)),
                0);
        }
        m_host.replaceAnswer = true;
        run(true, "in");
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(path("in.enc")), rc4("secret", "data"));
        QCOMPARE(modeOf(path("in.enc")), expectedMode);
    }

    void unwritableOutputIsRefused()
    {
        QVERIFY(writeFile(path("in"), "data"));
        QVERIFY(writeFile(path("in.enc"), "old"));
        QCOMPARE(::chmod(QFile::encodeName(path("in.enc")).constData(), 0444), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
        const auto before = snapshot();
        m_host.replaceAnswer = true;
        {
            std::optional<AsNobody> nobody;
            if (::geteuid() == 0) {
                nobody.emplace();
                if (!nobody->switched)
                    QSKIP("cannot drop root rights here, and root may write anything");
            }
            run(true, "in");
        }
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(path("in.enc")), qPrintable(m_host.messages[0]));
        QVERIFY(m_host.messages[0].contains(QStringLiteral("write-protected")));
        QCOMPARE(m_host.questions, QStringList());
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    void symlinkedOutputKeepsTheLink()
    {
        const QByteArray plain = randomBytes(2000);
        QVERIFY(writeFile(path("in"), plain));
        const QString target = m_root.path() + QStringLiteral("/target");
        QVERIFY(writeFile(target, "old contents"));
        QVERIFY(QFile::link(target, path("in.enc")));
        m_host.replaceAnswer = true;

        run(true, "in");

        QCOMPARE(m_host.messages, QStringList());
        QVERIFY(QFileInfo(path("in.enc")).isSymLink());
        QCOMPARE(QFileInfo(path("in.enc")).symLinkTarget(), target);
        QCOMPARE(contents(target), rc4("secret", plain));
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
    }

    // The output name is a second name of the input itself: the input must be read whole
    // before anything of it is overwritten.
    void inputAndOutputAreOneFile_data()
    {
        QTest::addColumn<bool>("hardLink");
        QTest::newRow("hard link") << true;
        QTest::newRow("symbolic link") << false;
    }

    void inputAndOutputAreOneFile()
    {
        QFETCH(bool, hardLink);
        const QByteArray plain = randomBytes(3 * block + 1);
        QVERIFY(writeFile(path("in"), plain));
        const QByteArray from = QFile::encodeName(path("in"));
        const QByteArray to = QFile::encodeName(path("in.enc"));
        QCOMPARE(hardLink ? ::link(from.constData(), to.constData())
                          : ::symlink(from.constData(), to.constData()),
                 0);
        m_host.replaceAnswer = true;

        run(true, "in");

        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(path("in.enc")), rc4("secret", plain));
        if (hardLink)
            QCOMPARE(contents(path("in")), plain);
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
    }

    // A large input fails on a block write; a small one sits in the file's buffer until the
    // final flush, so the failure shows only when the output is committed.
    void fullDiskLeavesNoTrace_data()
    {
        QTest::addColumn<bool>("outputExists");
        QTest::addColumn<int>("inputSize");
        QTest::addColumn<int>("limit");
        QTest::newRow("new output, block write fails") << false << 256 * 1024 << 64 * 1024;
        QTest::newRow("existing output, block write fails") << true << 256 * 1024 << 64 * 1024;
        QTest::newRow("existing output, final flush fails") << true << 8 * 1024 << 4 * 1024;
    }

    void fullDiskLeavesNoTrace()
    {
        QFETCH(bool, outputExists);
        QFETCH(int, inputSize);
        QFETCH(int, limit);
        QVERIFY(writeFile(path("in"), randomBytes(inputSize)));
        if (outputExists)
            QVERIFY(writeFile(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        const auto before = snapshot();
        {
            FileSizeLimit sizeLimit{rlim_t(limit)};
            run(true, "in");
        }
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(path("in.enc")), qPrintable(m_host.messages[0]));
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    void readOnlyLocation()
    {
        m_host.folder = QStringLiteral("/proc/self");
        run(true, "status");
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(QStringLiteral("/proc/self/status.enc")),
                 qPrintable(m_host.messages[0]));
        checkPointer();
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/self/status.enc")));
    }

    // Things that happen after the checks: another program changes the files while the
    // question is open or the bytes flow, or the host itself fails.
    void interference_data()
    {
        QTest::addColumn<int>("what");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QStringList>("entriesAfter");
        const QStringList both{"in", "in.enc"};
        QTest::newRow("input removed")
            << int(Interference::RemoveInput) << "Could not open" << QStringList{"in.enc"};
        QTest::newRow("input turned into a folder")
            << int(Interference::InputBecomesFolder) << "/work/in" << both;
        QTest::newRow("output turned into a folder")
            << int(Interference::OutputBecomesFolder) << "/work/in.enc" << both;
        QTest::newRow("input shrinks") << int(Interference::InputShrinks) << "shorter" << both;
        QTest::newRow("host throws") << int(Interference::HostThrows) << "host gave up" << both;
        QTest::newRow("host throws something else")
            << int(Interference::HostThrowsNonStandard) << "unexpected" << both;
    }

    void interference()
    {
        QFETCH(int, what);
        QFETCH(QString, expected);
        QFETCH(QStringList, entriesAfter);
        const QString in = path("in");
        QVERIFY(writeFile(in, randomBytes(3 * block)));
        QVERIFY(writeFile(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        switch (Interference(what)) {
        case Interference::RemoveInput:
            m_host.onConfirm = [in] { QFile::remove(in); };
            break;
        case Interference::InputBecomesFolder:
            m_host.onConfirm = [in] { QFile::remove(in) && QDir().mkdir(in); };
            break;
        case Interference::OutputBecomesFolder:
            m_host.onConfirm = [in] { QFile::remove(in + ".enc") && QDir().mkdir(in + ".enc"); };
            break;
        case Interference::InputShrinks:
            m_host.onProgress = [in](qint64, qint64) { QFile::resize(in, 10); };
            break;
        case Interference::HostThrows:
            m_host.onProgress = [](qint64, qint64) { throw std::runtime_error("host gave up"); };
            break;
        case Interference::HostThrowsNonStandard:
            m_host.onConfirm = [] { throw 42; };
            break;
        }

        run(true, "in");

        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(expected), qPrintable(m_host.messages[0]));
        checkPointer();
        QCOMPARE(entries(), QSet<QString>(entriesAfter.begin(), entriesAfter.end()));
        if (QFileInfo(path("in.enc")).isFile())
            QCOMPARE(contents(path("in.enc")), QByteArray("old"));
    }

    // A window that keeps painting during a run also passes on clicks: a second command
    // must not start on the cipher state the first one is using.
    void clickDuringRunIsIgnored()
    {
        const QByteArray plain = randomBytes(3 * block);
        QVERIFY(writeFile(path("input.bin"), plain));
        m_host.name = QStringLiteral("input.bin");
        FileCommands commands(m_cipher, m_host);
        m_host.onProgress = [&commands](qint64, qint64) { commands.decrypt(); };

        commands.encrypt();

        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(m_host.pointer, QStringList({"busy", "default"}));
        QCOMPARE(entries(), QSet<QString>({"input.bin", "input.bin.enc"}));
        QCOMPARE(contents(path("input.bin.enc")), rc4("secret", plain));
    }

    // A sparse file past 4 GiB: its full length reaches the loop. The host stops the run
    // after the first block, which must then leave nothing behind.
    void lengthBeyondFourGiB()
    {
        const qint64 size = (qint64(1) << 32) + 3;
        QVERIFY(writeFile(path("big"), {}));
        QVERIFY(QFile::resize(path("big"), size));
        m_host.onProgress = [](qint64, qint64) { throw std::runtime_error("enough"); };
        run(true, "big");
        QCOMPARE(m_host.progress.size(), size_t(1));
        QCOMPARE(m_host.progress[0], std::make_pair(block, size));
        QCOMPARE(entries(), QSet<QString>{"big"});
        checkPointer();
    }
};

QTEST_GUILESS_MAIN(TestFileCommands)
#include "tst_filecommands.moc"
