#include "exitsignals.h"
#include "filecommands.h"
#include "filename.h"
#include "scriptedhost.h"
#include "syscallfaults.h"

#include "testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <stdexcept>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace varnok;

using testfiles::rc4;
using testfiles::writeAll;

namespace {

const QString emptyPasswordMessage =
    QStringLiteral("You need to enter a password for encrypten or decrypten");
constexpr qint64 block = qint64(1) << 20;

// Plain RC4, one byte at a time: the reference the commands' output must match.
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

int modeOf(const QString &path)
{
    struct stat st
    {
    };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

enum class Privilege { Root, Unprivileged };

// Runs a scope as root or as an unprivileged user, 'nobody' unless another user, primary group
// and further groups are given: root writes through any permission bits, so checks of
// permissions run both ways. ok is false where the scope cannot run so (root wanted but not
// available). The saved ids 0 let the destructor come back.
class AsUser final
{
public:
    explicit AsUser(Privilege privilege, uid_t user = 65534, gid_t group = 0,
                    const std::vector<gid_t> &groups = {})
    {
        if (privilege == Privilege::Root)
            ok = ::geteuid() == 0;
        else if (::geteuid() != 0)
            ok = true;
        else
            ok = m_switched = ::setgroups(groups.size(), groups.data()) == 0 &&
                              ::setresgid(group, group, 0) == 0 && ::setresuid(user, user, 0) == 0;
    }
    ~AsUser()
    {
        if (m_switched &&
            (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0 || ::setgroups(0, nullptr)))
            qFatal("could not become root again");
    }
    Q_DISABLE_COPY_MOVE(AsUser)

    bool ok = false;

private:
    bool m_switched = false;
};

QByteArray attribute(const QString &path, const char *name)
{
    char value[1024];
    const ssize_t size = ::getxattr(QFile::encodeName(path).constData(), name, value, sizeof value);
    return size < 0 ? QByteArray("<none>") : QByteArray(value, size);
}

// Whether needle occurs in the process's writable memory anywhere but inside the buffers in
// skip (the test's own copies). Read through /proc/self/mem, so that memory a sanitizer
// watches is read as the kernel sees it.
bool inWritableMemory(const QByteArray &needle, QList<QByteArrayView> skip)
{
    QByteArray buffer(qsizetype(1) << 20, Qt::Uninitialized);
    skip << buffer;
    QFile maps(QStringLiteral("/proc/self/maps"));
    QFile mem(QStringLiteral("/proc/self/mem"));
    if (!maps.open(QIODevice::ReadOnly) || !mem.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        qFatal("cannot read this process's memory");
    const auto skipped = [&skip](const char *at) {
        return std::any_of(skip.begin(), skip.end(), [at](QByteArrayView view) {
            return at >= view.data() && at < view.data() + view.size();
        });
    };
    for (const QByteArray &line : maps.readAll().split('\n')) {
        unsigned long long start = 0;
        unsigned long long end = 0;
        char mode[5] = {};
        // Larger regions are a sanitizer's shadow memory, no heap or stack.
        if (std::sscanf(line.constData(), "%llx-%llx %4s", &start, &end, mode) != 3 ||
            mode[1] != 'w' || end - start > (1ULL << 28))
            continue;
        for (auto at = quintptr(start); at < end; at += quintptr(buffer.size() - needle.size())) {
            const qint64 length = qMin(qint64(end - at), qint64(buffer.size()));
            if (!mem.seek(qint64(at)) || mem.read(buffer.data(), length) != length)
                break;
            const QByteArrayView chunk(buffer.constData(), length);
            for (qsizetype k = chunk.indexOf(needle); k >= 0; k = chunk.indexOf(needle, k + 1))
                if (!skipped(reinterpret_cast<const char *>(at) + k))
                    return true;
        }
    }
    return false;
}

// Lets files grow to at most `bytes` bytes, as `ulimit -f` does. A write past it raises
// SIGXFSZ, which ends the process unless the commands have set it aside.
class FileSizeLimit final
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        ::getrlimit(RLIMIT_FSIZE, &m_old);
        rlimit limit = m_old;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &m_old); }
    Q_DISABLE_COPY_MOVE(FileSizeLimit)

private:
    rlimit m_old{};
};

class Umask final
{
public:
    explicit Umask(mode_t mask)
        : m_old(::umask(mask))
    {}
    ~Umask() { ::umask(m_old); }
    Q_DISABLE_COPY_MOVE(Umask)

private:
    mode_t m_old;
};

bool makeSocket(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return false;
    std::copy(name.begin(), name.end(), address.sun_path);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return bound;
}

// Sets or clears an inode flag such as FS_APPEND_FL, as chattr does (root only).
bool setInodeFlag(const QString &path, int flag, bool on)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
    int flags = 0;
    bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | flag : flags & ~flag;
    ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return ok;
}

// What keeps an existing output from being replaced, set up before a run.
enum class Obstacle {
    LockedFolder,
    ReadOnlyMount,
    AppendOnly,
    Immutable,
    StickyFolder,
    MountPoint
};

// How the child process of the exit tests ends its run (--slow-run): a signal, sent by the test
// while the run waits in a question of its own, or exit() from within that wait, as Qt's
// connection to the window system does when the display goes away. IgnoredHangup: a signal
// too, in a child started with SIGHUP ignored (as by nohup), which must stay so.
enum class Ending { Signal, Exit, Idle, IgnoredHangup };

// The child: encrypts `in` over an existing `in.enc` in folder and, after the first block,
// says "running" and waits in a nested event loop, as a run does while a question is open;
// Ending::Exit calls exit() from that loop once its input has something to read.
int slowRun(const QString &folder, Ending ending, bool unnamedFiles)
{
    int argc = 1;
    char name[] = "slow-run";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    if (ending == Ending::IgnoredHangup)
        std::signal(SIGHUP, SIG_IGN);
    const ExitSignals exitSignals;
    const auto ready = [] {
        std::fputs("running\n", stdout);
        std::fflush(stdout);
    };
    if (ending == Ending::Idle) {
        ready();
        return QCoreApplication::exec();
    }
    if (!unnamedFiles)
        syscallfaults::arm(syscallfaults::Call::TmpFile, EOPNOTSUPP,
                           [](const QByteArray &) { return true; });
    ScriptedHost host;
    host.folder = folder;
    host.name = QStringLiteral("in");
    host.replaceAnswer = true;
    host.onProgress = [ending, ready](qint64, qint64) {
        ready();
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        if (ending == Ending::Exit)
            QObject::connect(&input, &QSocketNotifier::activated, [] { std::exit(3); });
        QEventLoop().exec();
    };
    Rc4State cipher;
    FileCommands(cipher, host).encrypt();
    return 1; // never reached: the loop above is not left
}

enum class Interference {
    RemoveInput,
    InputBecomesFolder,
    InputBecomesFifo,
    InputBecomesLinkToZeros,
    OutputBecomesFolder,
    OutputBecomesLink,
    LinkPlantedAtNewOutput,
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

    // Arms the fault for the files a run of "in" creates: every file of the folder but "in" and
    // "in.enc", so the new output and its staging only.
    void armForNewFiles(int call, int error) const
    {
        const QByteArray folder = QFile::encodeName(m_folder + u'/');
        const QList<QByteArray> others = {folder + "in", folder + "in.enc"};
        syscallfaults::arm(syscallfaults::Call(call), error, [=](const QByteArray &p) {
            return p.startsWith(folder) && !others.contains(p);
        });
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
        ::umount2(QFile::encodeName(m_folder).constData(), MNT_DETACH); // a test's own mount
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
        QTest::newRow("decrypt cuts characters, not UTF-16 units")
            << false << QStringLiteral("abc\U0001F600xyz") << "abc";
        QTest::newRow("decrypt cuts a character outside the BMP whole")
            << false << QStringLiteral("x.en\U0001F600") << "x";
        QTest::newRow("decrypt cuts a letter with its combining mark")
            << false << QStringLiteral("abcde\u0301") << "a";
    }

    void outputNamesAndBytes()
    {
        QFETCH(bool, encrypt);
        QFETCH(QString, name);
        QFETCH(QString, output);
        const QByteArray input = randomBytes(5000);
        QVERIFY(writeAll(path(name), input));

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
        QVERIFY(writeAll(path("letter.txt"), "text"));
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
        QVERIFY(writeAll(path("in"), input));
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
        QVERIFY(writeAll(path("letter.txt"), plain));
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
        QVERIFY(writeAll(path("letter.txt.enc"), rc4("secret", plain)));
        m_host.password = QStringLiteral("Secret");
        run(false, "letter.txt.enc");
        QCOMPARE(m_host.messages, QStringList());
        const QByteArray wrong = contents(path("letter.txt"));
        QCOMPARE(wrong.size(), plain.size());
        QVERIFY(wrong != plain);
    }

    void emptyPasswordTouchesNothing()
    {
        QVERIFY(writeAll(path("letter.txt"), "text"));
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

    // Creates entries of the forms file:name, folder:name, fifo:name, socket:name and
    // link:name>target; names are relative to the working folder.
    void createEntries(const QStringList &setup) const
    {
        for (const QString &entry : setup) {
            const QString kind = entry.section(u':', 0, 0);
            const QString rest = entry.section(u':', 1);
            const QString p = path(rest.section(u'>', 0, 0));
            if (kind == u"file")
                QVERIFY(writeAll(p, "some bytes"));
            else if (kind == u"folder")
                QVERIFY(QDir().mkdir(p));
            else if (kind == u"fifo")
                QCOMPARE(::mkfifo(QFile::encodeName(p).constData(), 0644), 0);
            else if (kind == u"socket")
                QVERIFY(makeSocket(p));
            else
                QVERIFY(QFile::link(rest.section(u'>', 1), p));
        }
    }

    // Each refusal comes with one message, asks nothing and leaves every folder exactly as it
    // was.
    void refusals_data()
    {
        QTest::addColumn<bool>("encrypt");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QStringList>("setup");
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
        QTest::newRow("path into another folder")
            << true << pwd << "../a.txt" << QStringList{"file:../a.txt"}
            << QStringList{"../a.txt", "path, not a file name"};
        QTest::newRow("folder as input")
            << false << pwd << "inner.enc" << QStringList{"folder:inner.enc"}
            << QStringList{work + "inner.enc", "folder"};
        QTest::newRow("pipe as input") << true << pwd << "pipe" << QStringList{"fifo:pipe"}
                                       << QStringList{work + "pipe", "not a regular file"};
        QTest::newRow("socket as input") << true << pwd << "sock" << QStringList{"socket:sock"}
                                         << QStringList{work + "sock", "not a regular file"};
        QTest::newRow("link to a device as input")
            << true << pwd << "zeros" << QStringList{"link:zeros>/dev/zero"}
            << QStringList{work + "zeros", "not a regular file"};
        QTest::newRow("decrypt four characters")
            << false << pwd << "a.en" << QStringList{"file:a.en"} << QStringList{"a.en", "four"};
        QTest::newRow("decrypt four characters, one outside the BMP")
            << false << pwd << QStringLiteral("a\U0001F600bc")
            << QStringList{QStringLiteral("file:a\U0001F600bc")} << QStringList{"four"};
        QTest::newRow("decrypt four characters, one with a combining mark")
            << false << pwd << QStringLiteral("ab\u0301cd")
            << QStringList{QStringLiteral("file:ab\u0301cd")} << QStringList{"four"};
        QTest::newRow("decrypt one character")
            << false << pwd << "a" << QStringList{"file:a"} << QStringList{work + "a", "four"};
        QTest::newRow("folder as output")
            << true << pwd << "a" << QStringList{"file:a", "folder:a.enc"}
            << QStringList{work + "a.enc", "folder"};
        QTest::newRow("pipe as output") << true << pwd << "a" << QStringList{"file:a", "fifo:a.enc"}
                                        << QStringList{work + "a.enc", "not a regular file"};
        QTest::newRow("output is a link to the input")
            << true << pwd << "a.txt" << QStringList{"file:a.txt", "link:a.txt.enc>a.txt"}
            << QStringList{work + "a.txt.enc", "symbolic link"};
        QTest::newRow("output is a dangling link into another folder")
            << true << pwd << "a.txt"
            << QStringList{"file:a.txt", "folder:../elsewhere",
                           "link:a.txt.enc>../elsewhere/victim.dat"}
            << QStringList{work + "a.txt.enc", "symbolic link"};
        QTest::newRow("output is a link to a file in another folder")
            << false << pwd << "a.txt.enc"
            << QStringList{"file:a.txt.enc", "file:../private.txt", "link:a.txt>../private.txt"}
            << QStringList{work + "a.txt", "symbolic link"};
    }

    void refusals()
    {
        QFETCH(bool, encrypt);
        QFETCH(QString, password);
        QFETCH(QString, name);
        QFETCH(QStringList, setup);
        QFETCH(QStringList, expected);
        createEntries(setup);
        m_host.password = password;
        m_host.replaceAnswer = true;
        const auto before = snapshot();

        run(encrypt, name);

        QCOMPARE(m_host.messages.size(), 1);
        for (const QString &part : expected)
            QVERIFY2(m_host.messages[0].contains(part), qPrintable(m_host.messages[0]));
        QCOMPARE(m_host.questions, QStringList());
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    // Where a file cannot be reached for want of permission, the message says so, not that the
    // file is missing. Root passes these checks, so they run as an unprivileged user.
    void permissionProblemsAreNamed_data()
    {
        QTest::addColumn<int>("folderMode");
        QTest::addColumn<int>("inputMode");
        QTest::addColumn<QString>("expected");
        QTest::newRow("folder without search permission") << 0644 << 0644 << "Could not open";
        QTest::newRow("unreadable input") << 0755 << 0200 << "Could not open";
        QTest::newRow("folder without write permission") << 0555 << 0644 << "Cannot write in";
    }

    void permissionProblemsAreNamed()
    {
        QFETCH(int, folderMode);
        QFETCH(int, inputMode);
        QFETCH(QString, expected);
        QVERIFY(writeAll(path("in"), "data"));
        QCOMPARE(::chmod(QFile::encodeName(path("in")).constData(), mode_t(inputMode)), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
        const auto before = snapshot();
        QCOMPARE(::chmod(QFile::encodeName(m_folder).constData(), mode_t(folderMode)), 0);
        {
            const AsUser user(Privilege::Unprivileged);
            if (!user.ok)
                QSKIP("cannot drop root rights here");
            run(true, "in");
        }
        QCOMPARE(::chmod(QFile::encodeName(m_folder).constData(), 0755), 0);
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(expected), qPrintable(m_host.messages[0]));
        QVERIFY2(m_host.messages[0].contains(QStringLiteral("Permission denied")),
                 qPrintable(m_host.messages[0]));
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
        QVERIFY(writeAll(path("letter.txt"), plain));
        QVERIFY(writeAll(path("letter.txt.enc"), old));
        m_host.replaceAnswer = answer;

        run(true, "letter.txt");

        QCOMPARE(m_host.questions, QStringList(path("letter.txt.enc")));
        QVERIFY(!m_host.busyDuringQuestion);
        QCOMPARE(m_host.messages, QStringList());
        checkPointer();
        QCOMPARE(contents(path("letter.txt.enc")), answer ? rc4("secret", plain) : old);
        QCOMPARE(entries(), QSet<QString>({"letter.txt", "letter.txt.enc"}));
    }

    // As a copy gets them: a new output the input's bits less the umask, a replaced one exactly
    // its old bits and, where the process may give them (root), its old owner and group.
    void permissions_data()
    {
        QTest::addColumn<int>("inputMode");
        QTest::addColumn<int>("existingOutputMode"); // -1: no output yet
        QTest::addColumn<int>("umask");
        QTest::addColumn<int>("existingOwner"); // user and group id of the old output; -1: ours
        QTest::addColumn<int>("expectedMode");
        QTest::newRow("new output of a private file") << 0600 << -1 << 022 << -1 << 0600;
        QTest::newRow("new output of a shared file") << 0644 << -1 << 022 << -1 << 0644;
        QTest::newRow("new output of a group file") << 0640 << -1 << 022 << -1 << 0640;
        QTest::newRow("new output of a read-only file") << 0400 << -1 << 022 << -1 << 0400;
        QTest::newRow("umask narrows a new output") << 0666 << -1 << 077 << -1 << 0600;
        QTest::newRow("replaced output keeps its bits") << 0600 << 0604 << 022 << -1 << 0604;
        QTest::newRow("replaced output keeps bits the umask would drop")
            << 0600 << 0666 << 077 << -1 << 0666;
        QTest::newRow("replaced output keeps its owner and group")
            << 0644 << 0640 << 022 << 65534 << 0640;
    }

    void permissions()
    {
        QFETCH(int, inputMode);
        QFETCH(int, existingOutputMode);
        QFETCH(int, umask);
        QFETCH(int, existingOwner);
        QFETCH(int, expectedMode);
        if (existingOwner >= 0 && ::geteuid() != 0)
            QSKIP("only root may give a file to another user");
        QVERIFY(writeAll(path("in"), "data"));
        QCOMPARE(::chmod(QFile::encodeName(path("in")).constData(), mode_t(inputMode)), 0);
        const QByteArray output = QFile::encodeName(path("in.enc"));
        if (existingOutputMode >= 0) {
            QVERIFY(writeAll(path("in.enc"), "old"));
            QCOMPARE(::chmod(output.constData(), mode_t(existingOutputMode)), 0);
        }
        if (existingOwner >= 0)
            QCOMPARE(::chown(output.constData(), uid_t(existingOwner), gid_t(existingOwner)), 0);
        m_host.replaceAnswer = true;
        {
            const Umask mask{mode_t(umask)};
            run(true, "in");
        }
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(path("in.enc")), rc4("secret", "data"));
        QCOMPARE(modeOf(path("in.enc")), expectedMode);
        struct stat info = {};
        QCOMPARE(::stat(output.constData(), &info), 0);
        QCOMPARE(info.st_uid, existingOwner >= 0 ? uid_t(existingOwner) : ::geteuid());
        QCOMPARE(info.st_gid, existingOwner >= 0 ? gid_t(existingOwner) : ::getegid());
    }

    // A replacement keeps the old file's access list, its own attributes and, where the user
    // may set it, its group; what it cannot keep, the question says before the user answers.
    // The old file belongs to 4002 and the team 4100; the user replacing it is root, or 4001
    // with primary group 100, a member of the team or not.
    void replacementKeepsWhatProtectedTheOldFile_data()
    {
        QTest::addColumn<int>("memberOf"); // the user's second group; 0: the user is root
        QTest::addColumn<QString>("caveat");
        QTest::addColumn<int>("ownerAfter");
        QTest::addColumn<int>("groupAfter");
        QTest::newRow("root keeps all") << 0 << "" << 4002 << 4100;
        QTest::newRow("team member keeps the group")
            << 4100 << "Its owner cannot be kept: the new file will belong to you" << 4001 << 4100;
        QTest::newRow("outsider keeps neither")
            << 4200
            << "Its owner and group cannot be kept: the new file will belong to you (4001) "
               "and group "
            << 4001 << 100;
    }

    void replacementKeepsWhatProtectedTheOldFile()
    {
        QFETCH(int, memberOf);
        QFETCH(QString, caveat);
        QFETCH(int, ownerAfter);
        QFETCH(int, groupAfter);
        if (::geteuid() != 0)
            QSKIP("giving files to other users takes root");
        const QString out = path("plan.txt");
        QVERIFY(writeAll(path("plan.txt.enc"), rc4("secret", "new plan")));
        QVERIFY(writeAll(out, "old plan"));
        const QByteArray name = QFile::encodeName(out);
        QCOMPARE(::chown(name.constData(), 4002, 4100), 0);
        QCOMPARE(::chmod(name.constData(), memberOf == 4200 ? 0666 : 0660), 0);
        QCOMPARE(::setxattr(name.constData(), "user.origin", "bank", 4, 0), 0);
        QCOMPARE(QProcess::execute("setfacl", {"-m", "u:4003:---", out}), 0);
        const QByteArray acl = attribute(out, "system.posix_acl_access");
        QVERIFY(acl != "<none>");
        const int mode = modeOf(out);
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_folder).constData(), 0777), 0);
        m_host.replaceAnswer = true;
        {
            const AsUser user(memberOf ? Privilege::Unprivileged : Privilege::Root, 4001, 100,
                              {gid_t(memberOf)});
            QVERIFY(user.ok);
            run(false, "plan.txt.enc");
        }
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(m_host.caveats.size(), 1);
        QVERIFY2(caveat.isEmpty() ? m_host.caveats[0].isEmpty()
                                  : m_host.caveats[0].startsWith(caveat),
                 qPrintable(m_host.caveats[0]));
        QCOMPARE(contents(out), QByteArray("new plan"));
        struct stat info = {};
        QCOMPARE(::stat(name.constData(), &info), 0);
        QCOMPARE(std::make_pair(int(info.st_uid), int(info.st_gid)),
                 std::make_pair(ownerAfter, groupAfter));
        QCOMPARE(modeOf(out), mode);
        QCOMPARE(attribute(out, "system.posix_acl_access"), acl);
        QCOMPARE(attribute(out, "user.origin"), QByteArray("bank"));
    }

    void unwritableOutputIsRefused_data()
    {
        QTest::addColumn<int>("privilege");
        QTest::newRow("as root") << int(Privilege::Root);
        QTest::newRow("as an unprivileged user") << int(Privilege::Unprivileged);
    }

    // Even root, who could, does not replace a file that was write-protected on purpose.
    void unwritableOutputIsRefused()
    {
        QFETCH(int, privilege);
        QVERIFY(writeAll(path("in"), "data"));
        QVERIFY(writeAll(path("in.enc"), "old"));
        QCOMPARE(::chmod(QFile::encodeName(path("in.enc")).constData(), 0444), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_folder).constData(), 0777), 0);
        const auto before = snapshot();
        m_host.replaceAnswer = true;
        {
            const AsUser user{Privilege(privilege)};
            if (!user.ok)
                QSKIP("cannot run as that user here");
            run(true, "in");
        }
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(path("in.enc")), qPrintable(m_host.messages[0]));
        QVERIFY(m_host.messages[0].contains(QStringLiteral("write-protected")));
        QCOMPARE(m_host.questions, QStringList());
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    // Whatever would make the final rename fail is found before the question and before any
    // byte is read, and named for what it is.
    void refusedBeforeTheQuestion_data()
    {
        QTest::addColumn<int>("obstacle");
        QTest::addColumn<int>("privilege");
        QTest::addColumn<QString>("expected");
        const int root = int(Privilege::Root);
        const int user = int(Privilege::Unprivileged);
        QTest::newRow("folder the user cannot write in")
            << int(Obstacle::LockedFolder) << user << "Cannot write in %1: Permission denied";
        QTest::newRow("read-only file system")
            << int(Obstacle::ReadOnlyMount) << root << "Cannot write in %1: Read-only file system";
        QTest::newRow("append-only output") << int(Obstacle::AppendOnly) << root << "append-only";
        QTest::newRow("immutable output") << int(Obstacle::Immutable) << root << "immutable";
        QTest::newRow("sticky folder, another user's output")
            << int(Obstacle::StickyFolder) << user << "belongs to another user";
        QTest::newRow("mount point at the output's name")
            << int(Obstacle::MountPoint) << root << "mounted at that name";
    }

    void refusedBeforeTheQuestion()
    {
        QFETCH(int, obstacle);
        QFETCH(int, privilege);
        QFETCH(QString, expected);
        if (::geteuid() != 0)
            QSKIP("setting up these obstacles takes root");
        const QByteArray folder = QFile::encodeName(m_folder);
        const QByteArray output = QFile::encodeName(path("in.enc"));
        if (Obstacle(obstacle) == Obstacle::ReadOnlyMount)
            QVERIFY(::mount("varnok-test", folder.constData(), "tmpfs", 0, nullptr) == 0);
        QVERIFY(writeAll(path("in"), "data"));
        QVERIFY(writeAll(path("in.enc"), "old"));
        QCOMPARE(::chmod(output.constData(), 0666), 0);
        QCOMPARE(::chmod(QFile::encodeName(m_root.path()).constData(), 0755), 0);
        const auto before = snapshot();
        bool ready = true;
        switch (Obstacle(obstacle)) {
        case Obstacle::LockedFolder:
            ready = ::chmod(folder.constData(), 0555) == 0;
            break;
        case Obstacle::ReadOnlyMount:
            ready =
                ::mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
            break;
        case Obstacle::AppendOnly:
            ready = setInodeFlag(path("in.enc"), FS_APPEND_FL, true);
            break;
        case Obstacle::Immutable:
            ready = setInodeFlag(path("in.enc"), FS_IMMUTABLE_FL, true);
            break;
        case Obstacle::StickyFolder:
            ready = ::chmod(folder.constData(), 01777) == 0;
            break;
        case Obstacle::MountPoint:
            ready = ::mount(QFile::encodeName(path("in")).constData(), output.constData(), nullptr,
                            MS_BIND, nullptr) == 0;
            break;
        }
        m_host.replaceAnswer = true;
        if (ready) {
            const AsUser as{Privilege(privilege)};
            QVERIFY(as.ok);
            run(true, "in");
        }
        setInodeFlag(path("in.enc"), FS_APPEND_FL | FS_IMMUTABLE_FL, false);
        ::umount2(output.constData(), MNT_DETACH);
        ::chmod(folder.constData(), 0755);
        QVERIFY2(ready, "this machine cannot set up the obstacle");
        QCOMPARE(m_host.messages.size(), 1);
        // A reason that names the folder says so with %1; the others name the output.
        const bool namesFolder = expected.contains(u'%');
        const QString reason =
            namesFolder ? expected.arg(varnok::displayedFileName(m_folder)) : expected;
        QVERIFY2(m_host.messages[0].contains(reason) &&
                     (namesFolder || m_host.messages[0].contains(path("in.enc"))),
                 qPrintable(m_host.messages[0]));
        QCOMPARE(m_host.questions, QStringList());
        QVERIFY(m_host.progress.empty());
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    // Where the file system has unnamed files, the output has no name until it is complete;
    // elsewhere it is a hidden file until then. Either way it ends up under the output's name.
    void stagedFileHasNoNameUntilComplete_data()
    {
        QTest::addColumn<bool>("unnamedFiles");
        QTest::addColumn<bool>("outputExists");
        QTest::newRow("unnamed, new output") << true << false;
        QTest::newRow("unnamed, replacing") << true << true;
        QTest::newRow("no unnamed files, new output") << false << false;
        QTest::newRow("no unnamed files, replacing") << false << true;
    }

    void stagedFileHasNoNameUntilComplete()
    {
        QFETCH(bool, unnamedFiles);
        QFETCH(bool, outputExists);
        const QByteArray plain = randomBytes(2 * block);
        QVERIFY(writeAll(path("in"), plain));
        if (outputExists)
            QVERIFY(writeAll(path("in.enc"), "old"));
        const QSet<QString> before = entries();
        QSet<QString> during;
        m_host.onProgress = [&](qint64, qint64) { during = entries(); };
        m_host.replaceAnswer = true;
        if (!unnamedFiles)
            syscallfaults::arm(syscallfaults::Call::TmpFile, EOPNOTSUPP,
                               [](const QByteArray &) { return true; });
        run(true, "in");
        syscallfaults::disarm();
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(during.size(), before.size() + (unnamedFiles ? 0 : 1));
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
        QCOMPARE(contents(path("in.enc")), rc4("secret", plain));
    }

    // A run killed outright leaves its hidden file; the next command in that folder removes it,
    // but never one that a live run holds, another user's, or anything that is not a file.
    void staleStagedFilesAreRemoved()
    {
        QVERIFY(writeAll(path("in"), "data"));
        const QStringList stale{".varnok-1.part", ".varnok-2.part"};
        const QStringList kept{".varnok-held.part", ".varnok-theirs.part", ".varnok-dir.part",
                               ".varnok-link.part", "varnok-3.part"};
        for (const QString &name : stale + kept)
            if (name != ".varnok-dir.part" && name != ".varnok-link.part")
                QVERIFY(writeAll(path(name), "partial"));
        QVERIFY(QDir().mkdir(path(".varnok-dir.part")));
        QVERIFY(QFile::link(path(".varnok-1.part"), path(".varnok-link.part")));
        if (::geteuid() == 0)
            QCOMPARE(
                ::chown(QFile::encodeName(path(".varnok-theirs.part")).constData(), 65534, 65534),
                0);
        const int held = ::open(QFile::encodeName(path(".varnok-held.part")).constData(), O_RDONLY);
        QCOMPARE(::flock(held, LOCK_EX), 0);
        run(true, "in");
        ::close(held);
        QCOMPARE(m_host.messages, QStringList());
        QSet<QString> expected(kept.begin(), kept.end());
        expected << "in"
                 << "in.enc";
        if (::geteuid() != 0)
            expected.remove(".varnok-theirs.part"); // it is ours after all
        QCOMPARE(entries(), expected);
    }

    // In an append-only folder the final rename fails and the staged name cannot be removed:
    // what stays under it is empty, and the old output keeps its bytes.
    void appendOnlyFolderKeepsNothingComplete_data()
    {
        QTest::addColumn<bool>("unnamedFiles");
        QTest::newRow("unnamed file") << true;
        QTest::newRow("no unnamed files") << false;
    }

    void appendOnlyFolderKeepsNothingComplete()
    {
        QFETCH(bool, unnamedFiles);
        if (::geteuid() != 0)
            QSKIP("marking a folder append-only takes root");
        QVERIFY(writeAll(path("in"), randomBytes(block + 5)));
        QVERIFY(writeAll(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        bool marked = false;
        m_host.onConfirm = [&] { marked = setInodeFlag(m_folder, FS_APPEND_FL, true); };
        if (!unnamedFiles)
            syscallfaults::arm(syscallfaults::Call::TmpFile, EOPNOTSUPP,
                               [](const QByteArray &) { return true; });
        run(true, "in");
        syscallfaults::disarm();
        const QSet<QString> after = entries();
        QVERIFY(setInodeFlag(m_folder, FS_APPEND_FL, false));
        if (!marked)
            QSKIP("this file system has no append-only folders");
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(QStringLiteral("Operation not permitted")),
                 qPrintable(m_host.messages[0]));
        QCOMPARE(contents(path("in.enc")), QByteArray("old"));
        QCOMPARE(after.size(), 3);
        for (const QString &name : after)
            QVERIFY2(name == "in" || name == "in.enc" || QFileInfo(path(name)).size() == 0,
                     qPrintable(name));
    }

    // Every exit the process can see during a run removes the staged file and leaves the old
    // output as it was; a signal with no run going on ends the program as it always did.
    void exitsLeaveNoTrace_data()
    {
        QTest::addColumn<int>("ending");
        QTest::addColumn<int>("signal");
        QTest::addColumn<bool>("unnamedFiles");
        const int bySignal = int(Ending::Signal);
        QTest::newRow("SIGTERM, hidden file") << bySignal << SIGTERM << false;
        QTest::newRow("SIGINT, hidden file") << bySignal << SIGINT << false;
        QTest::newRow("SIGHUP, hidden file") << bySignal << SIGHUP << false;
        QTest::newRow("SIGTERM, unnamed file") << bySignal << SIGTERM << true;
        QTest::newRow("exit(), hidden file") << int(Ending::Exit) << 0 << false;
        QTest::newRow("exit(), unnamed file") << int(Ending::Exit) << 0 << true;
        QTest::newRow("SIGTERM, no run") << int(Ending::Idle) << SIGTERM << true;
        QTest::newRow("SIGHUP ignored from the start")
            << int(Ending::IgnoredHangup) << SIGTERM << false;
    }

    void exitsLeaveNoTrace()
    {
        QFETCH(int, ending);
        QFETCH(int, signal);
        QFETCH(bool, unnamedFiles);
        QVERIFY(writeAll(path("in"), randomBytes(3 * block)));
        QVERIFY(writeAll(path("in.enc"), "old"));
        QProcess child;
        child.start(
            QCoreApplication::applicationFilePath(),
            {"--slow-run", m_folder, QString::number(ending), unnamedFiles ? "unnamed" : "named"});
        QVERIFY(child.waitForReadyRead(20000));
        QCOMPARE(child.readLine(), QByteArray("running\n"));
        const bool run = Ending(ending) != Ending::Idle;
        QCOMPARE(entries().size(), run && !unnamedFiles ? 3 : 2); // the hidden file, if any
        if (Ending(ending) == Ending::IgnoredHangup) {
            QCOMPARE(::kill(pid_t(child.processId()), SIGHUP), 0);
            QVERIFY(!child.waitForFinished(300));
        }
        if (signal != 0)
            QCOMPARE(::kill(pid_t(child.processId()), signal), 0);
        else
            child.write("exit\n");
        QVERIFY(child.waitForFinished(20000));
        if (signal != 0) {
            QCOMPARE(child.exitStatus(), QProcess::CrashExit); // ended by the signal
        } else {
            QCOMPARE(child.exitStatus(), QProcess::NormalExit);
            QCOMPARE(child.exitCode(), 3);
        }
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
        QCOMPARE(contents(path("in.enc")), QByteArray("old"));
    }

    // The output name is a second (hard) link of the input itself: the new output takes the
    // name, and the input keeps its bytes under its own.
    void inputAndOutputAreOneFile()
    {
        const QByteArray plain = randomBytes(3 * block + 1);
        QVERIFY(writeAll(path("in"), plain));
        QCOMPARE(::link(QFile::encodeName(path("in")).constData(),
                        QFile::encodeName(path("in.enc")).constData()),
                 0);
        m_host.replaceAnswer = true;

        run(true, "in");

        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(path("in.enc")), rc4("secret", plain));
        QCOMPARE(contents(path("in")), plain);
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
    }

    // A file-size limit (ulimit -f) stands in for a full disk. A large input fails on a block
    // write; a small one on the write of its only block. The program goes on running, and the
    // message gives the system's reason.
    void fullDiskLeavesNoTrace_data()
    {
        QTest::addColumn<bool>("outputExists");
        QTest::addColumn<int>("inputSize");
        QTest::addColumn<int>("limit");
        QTest::newRow("new output, block write fails") << false << 256 * 1024 << 64 * 1024;
        QTest::newRow("existing output, block write fails") << true << 256 * 1024 << 64 * 1024;
        QTest::newRow("existing output, limit in mid-block")
            << true << 3 * int(block) << int(block) + 4097;
        QTest::newRow("existing output, small file") << true << 8 * 1024 << 4 * 1024;
    }

    void fullDiskLeavesNoTrace()
    {
        QFETCH(bool, outputExists);
        QFETCH(int, inputSize);
        QFETCH(int, limit);
        QVERIFY(writeAll(path("in"), randomBytes(inputSize)));
        if (outputExists)
            QVERIFY(writeAll(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        const auto before = snapshot();
        {
            FileSizeLimit sizeLimit{rlim_t(limit)};
            run(true, "in");
        }
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(path("in.enc")), qPrintable(m_host.messages[0]));
        QVERIFY2(m_host.messages[0].contains(QStringLiteral("File too large")),
                 qPrintable(m_host.messages[0]));
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    // Failures that only the last steps see: the data cannot be synced to disk, a block's
    // writeback fails (reported once, so the final sync would not see it), or closing the file
    // reports a lost write. The old output stays as it was and the user learns why.
    void failedSyncOrCloseLeavesNoTrace_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<qint64>("size");
        using syscallfaults::Call;
        QTest::newRow("sync: input/output error")
            << int(Call::Sync) << EIO << "Input/output error" << block + 1;
        QTest::newRow("sync: disk full")
            << int(Call::Sync) << ENOSPC << "No space left on device" << block + 1;
        QTest::newRow("sync: quota")
            << int(Call::Sync) << EDQUOT << "Disk quota exceeded" << block + 1;
        // Long enough for the run to wait for its first blocks' writeback.
        QTest::newRow("writeback: input/output error")
            << int(Call::Writeback) << EIO << "Input/output error" << 24 * block;
        QTest::newRow("close: input/output error")
            << int(Call::Close) << EIO << "Input/output error" << block + 1;
    }

    void failedSyncOrCloseLeavesNoTrace()
    {
        QFETCH(int, call);
        QFETCH(int, error);
        QFETCH(QString, reason);
        QFETCH(qint64, size);
        QVERIFY(writeAll(path("in"), randomBytes(size)));
        QVERIFY(writeAll(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        const auto before = snapshot();
        armForNewFiles(call, error);
        run(true, "in");
        syscallfaults::disarm();
        QVERIFY(syscallfaults::strikes() > 0);
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(path("in.enc")), qPrintable(m_host.messages[0]));
        QVERIFY2(m_host.messages[0].contains(reason), qPrintable(m_host.messages[0]));
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    // What the file system cannot hold (FAT has no owners; a FUSE driver may implement no chown,
    // chmod or attributes) cannot be kept, and the replace goes on; a chown that would change
    // nothing is not made. Any other failure stops it, leaving the old output.
    void metadataTheFileSystemCannotHold_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<int>("error");
        QTest::addColumn<bool>("otherOwner"); // of the old output, else ours
        QTest::addColumn<bool>("replaced");
        using syscallfaults::Call;
        QTest::newRow("chown not implemented") << int(Call::Chown) << ENOSYS << true << true;
        QTest::newRow("chown not supported") << int(Call::Chown) << EOPNOTSUPP << true << true;
        QTest::newRow("chown not permitted") << int(Call::Chown) << EPERM << true << true;
        QTest::newRow("no chown that changes nothing")
            << int(Call::Chown) << ENOSYS << false << true;
        QTest::newRow("chmod not implemented") << int(Call::Chmod) << ENOSYS << false << true;
        QTest::newRow("chmod not supported") << int(Call::Chmod) << ENOTSUP << false << true;
        QTest::newRow("attributes not supported")
            << int(Call::SetAttribute) << EOPNOTSUPP << false << true;
        QTest::newRow("chmod: input/output error") << int(Call::Chmod) << EIO << false << false;
    }

    void metadataTheFileSystemCannotHold()
    {
        QFETCH(int, call);
        QFETCH(int, error);
        QFETCH(bool, otherOwner);
        QFETCH(bool, replaced);
        if (otherOwner && ::geteuid() != 0)
            QSKIP("giving a file to another user takes root");
        QVERIFY(writeAll(path("in"), "data"));
        QVERIFY(writeAll(path("in.enc"), "old"));
        const QByteArray output = QFile::encodeName(path("in.enc"));
        QCOMPARE(::chmod(output.constData(), 0604), 0);
        QCOMPARE(::setxattr(output.constData(), "user.origin", "bank", 4, 0), 0);
        if (otherOwner)
            QCOMPARE(::chown(output.constData(), 65534, 65534), 0);
        const auto before = snapshot();
        m_host.replaceAnswer = true;
        armForNewFiles(call, error);
        run(true, "in");
        syscallfaults::disarm();
        QCOMPARE(syscallfaults::strikes() > 0,
                 otherOwner || call != int(syscallfaults::Call::Chown));
        checkPointer();
        if (!replaced) {
            QCOMPARE(m_host.messages.size(), 1);
            QVERIFY2(m_host.messages[0].contains(qt_error_string(error)),
                     qPrintable(m_host.messages[0]));
            QCOMPARE(snapshot(), before);
            return;
        }
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(contents(path("in.enc")), rc4("secret", "data"));
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
        QCOMPARE(modeOf(path("in.enc")), call == int(syscallfaults::Call::Chmod) ? 0600 : 0604);
        QCOMPARE(attribute(path("in.enc"), "user.origin"),
                 QByteArray(call == int(syscallfaults::Call::SetAttribute) ? "<none>" : "bank"));
    }

    // The new name must outlast a power cut, so the folder is synced after the rename; if that
    // fails, the new file is there but the user is told it may not last.
    void failedFolderSyncIsReported()
    {
        QVERIFY(writeAll(path("in"), "data"));
        const QByteArray folder = QFile::encodeName(m_folder);
        syscallfaults::arm(syscallfaults::Call::Sync, EIO,
                           [folder](const QByteArray &p) { return p == folder; });
        run(true, "in");
        syscallfaults::disarm();
        QCOMPARE(syscallfaults::strikes(), 1);
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(QStringLiteral("Input/output error")),
                 qPrintable(m_host.messages[0]));
        QCOMPARE(contents(path("in.enc")), rc4("secret", "data"));
        QCOMPARE(entries(), QSet<QString>({"in", "in.enc"}));
    }

    // Files whose size does not tell their length. A command reads every byte up to the end
    // the file reports; one that ends before its size says is refused, as its true content
    // cannot be told.
    void inputDeliversOtherThanItsSize_data()
    {
        QTest::addColumn<QString>("target");   // a system file, reached through a link
        QTest::addColumn<QString>("expected"); // part of the message; empty: the run succeeds
        QTest::newRow("size says 0 but there is content") << "/proc/version"
                                                          << "";
        QTest::newRow("content shorter than the size says") << "/sys/devices/system/cpu/online"
                                                            << "ended after";
    }

    void inputDeliversOtherThanItsSize()
    {
        QFETCH(QString, target);
        QFETCH(QString, expected);
        const QByteArray content = contents(target);
        if (content.isEmpty() || content == "<unreadable>")
            QSKIP("that system file is not readable here");
        QVERIFY(QFile::link(target, path("sys")));

        run(true, "sys");

        if (expected.isEmpty()) {
            QCOMPARE(m_host.messages, QStringList());
            QCOMPARE(contents(path("sys.enc")), rc4("secret", content));
        } else {
            QCOMPARE(m_host.messages.size(), 1);
            QVERIFY2(m_host.messages[0].contains(expected), qPrintable(m_host.messages[0]));
            QCOMPARE(entries(), QSet<QString>{"sys"});
        }
        checkPointer();
    }

    void readOnlyLocation()
    {
        m_host.folder = QStringLiteral("/proc/self");
        run(true, "status");
        QCOMPARE(m_host.messages.size(), 1);
        QVERIFY2(m_host.messages[0].contains(QStringLiteral("/proc/self")),
                 qPrintable(m_host.messages[0]));
        checkPointer();
        QVERIFY(!QFileInfo::exists(QStringLiteral("/proc/self/status.enc")));
    }

    // Once a command is over, the cipher's key table (the key's first 256 codes in 16-bit
    // cells, the same bytes as the password's UTF-16) is nowhere in memory. Only the host's
    // own text may hold it, which the test wipes itself.
    void keyLeavesNoCopyInMemory()
    {
        QByteArray key(300, Qt::Uninitialized);
        for (auto &c : key)
            c = char('A' + QRandomGenerator::global()->bounded(26));
        m_host.password = QString::fromLatin1(key);
        QByteArray keytab;
        for (const char c : key.left(256))
            keytab.append(c).append('\0');
        QVERIFY(writeAll(path("in"), "data"));

        run(true, "in");

        QCOMPARE(m_host.messages, QStringList());
        std::fill(m_host.password.data(), m_host.password.data() + m_host.password.size(), u'\0');
        QVERIFY(!inWritableMemory(keytab, {key, keytab}));
    }

    // Things that happen after the checks: another program changes the files while the
    // question is open or the bytes flow, or the host itself fails. The input was opened before
    // the question, so whatever is put at its name afterwards is never read.
    void interference_data()
    {
        QTest::addColumn<int>("what");
        QTest::addColumn<QString>("expected"); // part of the message; empty: the run succeeds
        QTest::addColumn<QStringList>("entriesAfter");
        const QStringList both{"in", "in.enc", "victim"};
        QTest::newRow("input removed")
            << int(Interference::RemoveInput) << "" << QStringList{"in.enc", "victim"};
        QTest::newRow("input turned into a folder")
            << int(Interference::InputBecomesFolder) << "" << both;
        QTest::newRow("input swapped for a fifo")
            << int(Interference::InputBecomesFifo) << "" << both;
        QTest::newRow("input swapped for a link to a device")
            << int(Interference::InputBecomesLinkToZeros) << "" << both;
        QTest::newRow("output turned into a folder")
            << int(Interference::OutputBecomesFolder) << "/work/in.enc" << both;
        QTest::newRow("output swapped for a link")
            << int(Interference::OutputBecomesLink) << "symbolic link" << both;
        QTest::newRow("link planted at a new output's name during the run")
            << int(Interference::LinkPlantedAtNewOutput) << "created a file of that name" << both;
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
        const QString out = path("in.enc");
        const QString victim = path("victim");
        const QByteArray plain = randomBytes(3 * block);
        QVERIFY(writeAll(in, plain));
        QVERIFY(writeAll(victim, "victim's bytes"));
        const auto swap = [](const QString &name, const std::function<bool()> &make) {
            return [=] { QVERIFY(QFile::remove(name) && make()); };
        };
        const auto link = [](const QString &target, const QString &at) {
            return [=] { return QFile::link(target, at); };
        };
        if (Interference(what) != Interference::LinkPlantedAtNewOutput)
            QVERIFY(writeAll(out, "old"));
        m_host.replaceAnswer = true;
        switch (Interference(what)) {
        case Interference::RemoveInput:
            m_host.onConfirm = [in] { QVERIFY(QFile::remove(in)); };
            break;
        case Interference::InputBecomesFolder:
            m_host.onConfirm = swap(in, [in] { return QDir().mkdir(in); });
            break;
        case Interference::InputBecomesFifo:
            m_host.onConfirm =
                swap(in, [in] { return ::mkfifo(QFile::encodeName(in).constData(), 0644) == 0; });
            break;
        case Interference::InputBecomesLinkToZeros:
            m_host.onConfirm = swap(in, link(QStringLiteral("/dev/zero"), in));
            break;
        case Interference::OutputBecomesFolder:
            m_host.onConfirm = swap(out, [out] { return QDir().mkdir(out); });
            break;
        case Interference::OutputBecomesLink:
            m_host.onConfirm = swap(out, link(victim, out));
            break;
        case Interference::LinkPlantedAtNewOutput:
            m_host.onProgress = [=](qint64 done, qint64) {
                if (done == block)
                    QVERIFY(QFile::link(victim, out));
            };
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

        if (expected.isEmpty()) {
            QCOMPARE(m_host.messages, QStringList());
            QCOMPARE(contents(out), rc4("secret", plain));
        } else {
            QCOMPARE(m_host.messages.size(), 1);
            QVERIFY2(m_host.messages[0].contains(expected), qPrintable(m_host.messages[0]));
            if (QFileInfo(out).isFile() && !QFileInfo(out).isSymLink())
                QCOMPARE(contents(out), QByteArray("old"));
        }
        checkPointer();
        QCOMPARE(entries(), QSet<QString>(entriesAfter.begin(), entriesAfter.end()));
        QCOMPARE(contents(victim), QByteArray("victim's bytes"));
    }

    // A window that keeps painting during a run also passes on clicks: a second command
    // must not start on the cipher state the first one is using.
    void clickDuringRunIsIgnored()
    {
        const QByteArray plain = randomBytes(3 * block);
        QVERIFY(writeAll(path("input.bin"), plain));
        m_host.name = QStringLiteral("input.bin");
        FileCommands commands(m_cipher, m_host);
        m_host.onProgress = [&commands](qint64, qint64) { commands.decrypt(); };

        commands.encrypt();

        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(m_host.pointer, QStringList({"busy", "default"}));
        QCOMPARE(entries(), QSet<QString>({"input.bin", "input.bin.enc"}));
        QCOMPARE(contents(path("input.bin.enc")), rc4("secret", plain));
    }

    // The user stops a run: it ends after the block under way, silently, and leaves every
    // file as it was.
    void stopLeavesNoTrace_data()
    {
        QTest::addColumn<bool>("outputExists");
        QTest::addColumn<int>("stopAfterBlocks");
        QTest::newRow("new output, after the first block") << false << 1;
        QTest::newRow("existing output, after the first block") << true << 1;
        QTest::newRow("existing output, after the last block") << true << 4;
    }

    void stopLeavesNoTrace()
    {
        QFETCH(bool, outputExists);
        QFETCH(int, stopAfterBlocks);
        QVERIFY(writeAll(path("in"), randomBytes(4 * block)));
        if (outputExists)
            QVERIFY(writeAll(path("in.enc"), "old"));
        m_host.replaceAnswer = true;
        m_host.onProgress = [this, stopAfterBlocks](qint64 done, qint64) {
            m_host.stop = done >= stopAfterBlocks * block;
        };
        const auto before = snapshot();
        run(true, "in");
        QCOMPARE(m_host.messages, QStringList());
        QCOMPARE(m_host.progress.size(), size_t(stopAfterBlocks));
        checkPointer();
        QCOMPARE(snapshot(), before);
    }

    // A sparse file past 4 GiB: its full length reaches the loop. The host stops the run
    // after the first block, which must then leave nothing behind.
    void lengthBeyondFourGiB()
    {
        const qint64 size = (qint64(1) << 32) + 3;
        QVERIFY(writeAll(path("big"), {}));
        QVERIFY(QFile::resize(path("big"), size));
        m_host.onProgress = [](qint64, qint64) { throw std::runtime_error("enough"); };
        run(true, "big");
        QCOMPARE(m_host.progress.size(), size_t(1));
        QCOMPARE(m_host.progress[0], std::make_pair(block, size));
        QCOMPARE(entries(), QSet<QString>{"big"});
        checkPointer();
    }
};

int main(int argc, char *argv[])
{
    if (argc == 5 && qstrcmp(argv[1], "--slow-run") == 0)
        return slowRun(QFile::decodeName(argv[2]), Ending(std::atoi(argv[3])),
                       qstrcmp(argv[4], "unnamed") == 0);
    QCoreApplication app(argc, argv);
    TestFileCommands test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_filecommands.moc"
