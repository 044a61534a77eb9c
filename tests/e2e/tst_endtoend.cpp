// Starts the real varnok on a private X server (Xvfb, with openbox as the window manager) and
// drives it with xdotool, whose keys and clicks go through XTEST like a real keyboard's and
// mouse's. Checks what lands in the folder, byte for byte, against the cipher's per-byte step.
//
// With VARNOK_E2E_WINDOWS_PROGRAM naming a Windows build's varnok.exe, the same steps drive that
// program under Wine, and files go both ways between it and the Linux program. Files go
// between each window and varnok-cli of either build too.

#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>

#include <unistd.h>

using testfiles::rc4;
using testfiles::writeAll;

namespace {

// Typed with XTEST: keys without Shift, which a loaded machine has been seen to lose.
const QString password = QStringLiteral("open sesame 42");

// Keyed by its Windows-1252 codes on both systems. Its letters have keys of their own in the
// suite's keyboard map (see loadKeyboardMap).
const QString pass1252 = QStringLiteral("P\u00e4ssw\u00f6rd\u20ac");

// A program to drive: the Linux build, or a Windows build run by the Wine wrapper.
struct Program
{
    QString command;
    QStringList arguments;
    bool underWine = false;
};

Program linuxProgram()
{
    return {QStringLiteral(VARNOK_PROGRAM), {}, false};
}

Program windowsProgram()
{
    return {QStringLiteral(VARNOK_WINE_RUN),
            {qEnvironmentVariable("VARNOK_E2E_WINDOWS_PROGRAM")},
            true};
}

bool windowsMode()
{
    return qEnvironmentVariableIsSet("VARNOK_E2E_WINDOWS_PROGRAM");
}

// Where the main window's controls are, from its fixed layout (client coordinates).
constexpr QPoint passwordBox(408, 473);
constexpr QPoint nameBox(604, 473);
constexpr QPoint encryptButton(428, 508);
constexpr QPoint decryptButton(500, 508);
constexpr QPoint aboutButton(632, 508);
constexpr QPoint exitButton(572, 508);
constexpr QPoint aboutCloseButton(384, 16); // the About window's "X"

// Questions and messages carry the program's name as their title; the About window carries
// the caption its layout gives it.
const QString questionTitle = QStringLiteral("^Varnok$");
const QString aboutTitle = QStringLiteral("Insert Caption Here");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// By the path's bytes, which QFile cannot take for a name that is not UTF-8.
QByteArray readAll(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return in ? QByteArray::fromStdString({std::istreambuf_iterator<char>(in), {}})
              : QByteArray("<missing>");
}

// A command line without quoting, as words.
QStringList words(const char *line)
{
    return QString::fromLatin1(line).split(u' ');
}

// Polls until done() holds, for at most timeoutMs: generous, for a loaded machine and the
// sanitizer build, where starting the program alone has taken over ten seconds.
bool waitFor(const std::function<bool()> &done, int timeoutMs = 30000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qSleep(5);
    }
    return true;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void encryptThenDecrypt();
    void replaceQuestion_data();
    void replaceQuestion();
    void aboutOpensAndCloses();
    void escapeAsksToStop();
    void filesGoBetweenSystems_data();
    void filesGoBetweenSystems();
    void pathGivenToTheProgram_data();
    void pathGivenToTheProgram();
    void logOffDuringRun();
    void driveThatDoesNotAnswer();
    void replaceOnFat();
    // Ends the program: keep it last.
    void closeDuringRunAsksToStop();

private:
    QString path(const QString &name) const { return m_folder->filePath(name); }
    QStringList entries() const
    {
        return QDir(m_folder->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System);
    }
    bool runPartExists() const
    {
        return !QDir(m_folder->path())
                    .entryList({QStringLiteral(".varnok-*")}, QDir::Files | QDir::Hidden)
                    .isEmpty();
    }
    // The output has no name until it is complete, so a run is seen by its open input: open
    // in any process, as under Wine the program is not the process started.
    bool inputIsOpen(const QString &name) const
    {
        const QString input = QFileInfo(path(name)).canonicalFilePath();
        const QStringList pids =
            QDir(QStringLiteral("/proc")).entryList({QStringLiteral("[0-9]*")}, QDir::Dirs);
        return std::any_of(pids.begin(), pids.end(), [&](const QString &pid) {
            const QString fds = QStringLiteral("/proc/%1/fd/").arg(pid);
            const QStringList open = QDir(fds).entryList(QDir::AllEntries | QDir::System);
            return std::any_of(open.begin(), open.end(), [&](const QString &fd) {
                return QFile::symLinkTarget(fds + fd) == input;
            });
        });
    }
    bool loadKeyboardMap();
    bool makeWinePrefix();
    Program programGiven(QByteArray path) const;
    bool startProgram(const Program &program, const QString &folder = {});
    bool startOnOwnMount(const QString &mount, const QString &folder);
    bool endProgram();
    bool startServer(const QString &server);
    bool xdoSucceeds(const QStringList &arguments);
    QString xdo(const QStringList &arguments);
    QString findWindow(const QString &title);
    QString waitForWindow(const QString &title);
    bool waitUntilGone(const QString &title);
    void click(const QString &window, QPoint at);
    void typeInto(QPoint box, const QString &text);
    void press(const QString &window, const char *key);
    void startRun(QPoint button, const QString &name, const QString &key = password);
    bool runOn(int side, bool encrypt, const QString &name);
    bool makeBigFile();

    std::unique_ptr<QTemporaryDir> m_folder;
    std::unique_ptr<QTemporaryDir> m_winePrefix;
    QProcess m_server;
    QProcess m_windowManager;
    QProcess m_program;
    QProcessEnvironment m_env;
    QString m_xdotool;
    QString m_main;
    bool m_underWine = false; // the window driven is the Windows build's
};

void TestEndToEnd::initTestCase()
{
    const QString server = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString windowManager = QStandardPaths::findExecutable(QStringLiteral("openbox"));
    m_xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (server.isEmpty() || windowManager.isEmpty() || m_xdotool.isEmpty())
        QSKIP("needs Xvfb, openbox and xdotool");

    // A server that reported its display but does not answer there is replaced by a new one.
    for (int attempt = 0; attempt < 3 && !startServer(server); ++attempt) {
        m_server.kill();
        m_server.waitForFinished();
    }
    QVERIFY2(m_server.state() == QProcess::Running, "no X server answers");
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    m_env.remove(QStringLiteral("SESSION_MANAGER"));
    m_windowManager.setProcessEnvironment(m_env);
    m_windowManager.start(windowManager, {QStringLiteral("--sm-disable")});
    QVERIFY(m_windowManager.waitForStarted());
    // A window mapped before the manager is ready can stay unmapped: wait until it answers
    // for the desktop, which only a running manager does.
    QVERIFY2(waitFor([this] { return xdoSucceeds(words("get_desktop")); }),
             "the window manager did not start");
    QVERIFY2(loadKeyboardMap(), "could not load the keyboard map");

    m_folder = std::make_unique<QTemporaryDir>();
    QVERIFY(m_folder->isValid());
    if (windowsMode())
        QVERIFY2(makeWinePrefix(), "could not make a Wine prefix");
    QVERIFY(startProgram(windowsMode() ? windowsProgram() : linuxProgram()));
}

// A Wine prefix of the run's own: Wine ties a prefix's windows to the X server of the first
// program it ran, and an earlier run's server is gone.
bool TestEndToEnd::makeWinePrefix()
{
    m_winePrefix = std::make_unique<QTemporaryDir>();
    if (!m_winePrefix->isValid())
        return false;
    m_env.insert(QStringLiteral("VARNOK_WINEPREFIX"), m_winePrefix->path());
    QProcess boot;
    boot.setProcessEnvironment(m_env);
    boot.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    boot.start(QStringLiteral(VARNOK_WINE_RUN), words("wineboot --init"));
    return boot.waitForFinished(180000) && boot.exitCode() == 0;
}

// A US map with keys for the letters of pass1252 (tests/e2e/xkb/symbols/passwordkeys) added.
// Programs read the map at their start, so it is loaded before any.
bool TestEndToEnd::loadKeyboardMap()
{
    QProcess print;
    print.setProcessEnvironment(m_env);
    print.start(QStringLiteral("setxkbmap"), words("-layout us -print"));
    if (!print.waitForFinished(10000) || print.exitCode() != 0)
        return false;
    QString map = QString::fromUtf8(print.readAllStandardOutput());
    map.replace(QRegularExpression(QStringLiteral(R"((xkb_symbols\s*\{\s*include\s*"[^"]*))")),
                QStringLiteral("\\1+passwordkeys"));
    QProcess load;
    load.setProcessEnvironment(m_env);
    load.start(QStringLiteral("xkbcomp"),
               {QStringLiteral("-w0"), QStringLiteral("-I" VARNOK_XKB_DIR), QStringLiteral("-"),
                m_env.value(QStringLiteral("DISPLAY"))});
    load.write(map.toUtf8());
    load.closeWriteChannel();
    return load.waitForFinished(10000) && load.exitCode() == 0;
}

bool TestEndToEnd::startProgram(const Program &program, const QString &folder)
{
    QProcessEnvironment env = m_env;
    if (program.underWine) // Wine's own window system, not Qt's X11 plugin
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    m_program.setProcessEnvironment(env);
    // The picker starts there.
    m_program.setWorkingDirectory(folder.isEmpty() ? m_folder->path() : folder);
    m_program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_program.start(program.command, program.arguments);
    m_underWine = program.underWine;
    if (!m_program.waitForStarted())
        return false;
    m_main = waitForWindow(QStringLiteral("^Varnok Encryptor$"));
    if (m_main.isEmpty())
        qWarning("no main window; program %s, windows: %s",
                 m_program.state() == QProcess::Running ? "running" : "ended",
                 qPrintable(xdo(words("search --name . getwindowname %@"))));
    return !m_main.isEmpty();
}

// Starts the Linux program in `folder`, in a mount namespace of its own where the shell command
// `mount` has mounted a file system first: nothing else on the machine sees that file system,
// nor waits on it when it stops answering. Needs root. A sanitizer build's leak check stops every
// thread at exit, and cannot stop one that the kernel holds for a drive: it is left out here.
bool TestEndToEnd::startOnOwnMount(const QString &mount, const QString &folder)
{
    const QString program = QStringLiteral(
        " && ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" exec \"$0\"");
    const QStringList unshare{QStringLiteral("--mount"),     QStringLiteral("--propagation"),
                              QStringLiteral("private"),     QStringLiteral("sh"),
                              QStringLiteral("-c"),          mount + program,
                              QStringLiteral(VARNOK_PROGRAM)};
    return startProgram({QStringLiteral("unshare"), unshare, false}, folder);
}

// Ends the program with its Exit button, as a user does.
bool TestEndToEnd::endProgram()
{
    click(m_main, exitButton);
    return m_program.waitForFinished(30000) && m_program.exitStatus() == QProcess::NormalExit &&
           m_program.exitCode() == 0 && waitUntilGone(QStringLiteral("^Varnok Encryptor$"));
}

// Starts Xvfb on a free display (-displayfd 1: it writes the display's number to our pipe) and
// checks that it answers there. -noreset: by default the server resets when its last client
// leaves, and refuses the next one meanwhile; the first client here (that check) leaves at once.
bool TestEndToEnd::startServer(const QString &server)
{
    m_server.start(server, words("-displayfd 1 -screen 0 1024x768x24 -nolisten tcp -noreset"));
    if (!m_server.waitForStarted() || !waitFor([this] {
            m_server.waitForReadyRead(50);
            return m_server.canReadLine();
        }))
        return false;
    const QByteArray display = m_server.readLine().trimmed();
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("DISPLAY"), QLatin1Char(':') + QString::fromLatin1(display));
    return waitFor([this] { return xdoSucceeds(words("getdisplaygeometry")); }, 3000);
}

bool TestEndToEnd::xdoSucceeds(const QStringList &arguments)
{
    QProcess tool;
    tool.setProcessEnvironment(m_env);
    tool.start(m_xdotool, arguments);
    return tool.waitForFinished(10000) && tool.exitStatus() == QProcess::NormalExit &&
           tool.exitCode() == 0;
}

// A message left open by a failed step (the password typed into nothing, say) is closed, so
// that the steps after it start from the window as usual.
void TestEndToEnd::init()
{
    // Each step starts from an empty folder, whatever an earlier failed one left there.
    for (const QString &name : QDir(m_folder->path()).entryList(QDir::Files | QDir::Hidden))
        QFile::remove(path(name));
    if (const QString left = findWindow(questionTitle); !left.isEmpty()) {
        press(left, "Escape");
        QFAIL("a message of an earlier step was still open");
    }
}

void TestEndToEnd::cleanupTestCase()
{
    for (QProcess *process : {&m_program, &m_windowManager, &m_server}) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(5000))
            process->kill();
        process->waitForFinished(5000);
    }
    if (m_winePrefix) { // its server goes before its files
        QProcess server;
        QProcessEnvironment env = m_env;
        env.insert(QStringLiteral("WINEPREFIX"), m_winePrefix->path());
        server.setProcessEnvironment(env);
        server.start(QStringLiteral("wineserver"), words("--kill"));
        server.waitForFinished(10000);
        m_winePrefix.reset();
    }
}

QString TestEndToEnd::xdo(const QStringList &arguments)
{
    QProcess tool;
    tool.setProcessEnvironment(m_env);
    tool.start(m_xdotool, arguments);
    if (!tool.waitForFinished(10000) || tool.exitStatus() != QProcess::NormalExit)
        qWarning("xdotool %s did not finish", qPrintable(arguments.join(u' ')));
    return QString::fromLocal8Bit(tool.readAllStandardOutput()).trimmed();
}

// The first visible window with this title, or nothing.
QString TestEndToEnd::findWindow(const QString &title)
{
    return xdo(words("search --onlyvisible --name") << title).section(u'\n', 0, 0);
}

QString TestEndToEnd::waitForWindow(const QString &title)
{
    QString window;
    waitFor([&] { return !(window = findWindow(title)).isEmpty(); });
    return window;
}

bool TestEndToEnd::waitUntilGone(const QString &title)
{
    return waitFor([&] { return findWindow(title).isEmpty(); });
}

// To the window once it is the active one: under load the manager can take its time.
void TestEndToEnd::click(const QString &window, QPoint at)
{
    xdo(words("windowactivate --sync") << window);
    xdo(words("windowfocus --sync") << window);
    // --sync waits for the pointer to move, for ever when it is there already (the same button
    // of a window shown again at the same place): start from the screen's corner.
    xdo(words("mousemove 0 0"));
    xdo(words("mousemove --sync --window")
        << window << QString::number(at.x()) << QString::number(at.y()) << QStringLiteral("click")
        << QStringLiteral("1"));
}

// Replaces the box's text by typing, as a user does.
void TestEndToEnd::typeInto(QPoint box, const QString &text)
{
    click(m_main, box);
    xdo(words("key ctrl+a BackSpace"));
    xdo(words("type --delay 20") << text);
}

// A key press to the window, once it has the keyboard focus.
void TestEndToEnd::press(const QString &window, const char *key)
{
    xdo(words("windowfocus --sync") << window);
    xdo(words("key") << QString::fromLatin1(key));
}

void TestEndToEnd::startRun(QPoint button, const QString &name, const QString &key)
{
    typeInto(passwordBox, key);
    typeInto(nameBox, name);
    click(m_main, button);
}

void TestEndToEnd::encryptThenDecrypt()
{
    QByteArray plain(300 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < plain.size(); ++i)
        plain[i] = char((i * 7919) >> 3);
    QVERIFY(writeAll(path("letter.txt"), plain));
    startRun(encryptButton, QStringLiteral("letter.txt"));
    // The output appears under its name only once it is complete.
    QVERIFY(waitFor([&] { return QFile::exists(path("letter.txt.enc")); }));
    QVERIFY(readAll(path("letter.txt.enc")) == rc4(password, plain));

    QVERIFY(QFile::remove(path("letter.txt")));
    startRun(decryptButton, QStringLiteral("letter.txt.enc"));
    QVERIFY(waitFor([&] { return QFile::exists(path("letter.txt")); }));
    QVERIFY(readAll(path("letter.txt")) == plain);
    QVERIFY(waitFor([&] { return !runPartExists(); }));
    QCOMPARE(entries(), QStringList({".", "..", "letter.txt", "letter.txt.enc"}));
    QVERIFY(QFile::remove(path("letter.txt")) && QFile::remove(path("letter.txt.enc")));
}

void TestEndToEnd::replaceQuestion_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("No keeps the file") << "n" << false;
    QTest::newRow("Yes replaces it") << "y" << true;
}

void TestEndToEnd::replaceQuestion()
{
    QFETCH(QString, answer);
    QFETCH(bool, replaced);
    const QByteArray plain = "a note, encrypted over an older copy";
    const QByteArray older = "an older encrypted copy, longer than the new one";
    QVERIFY(writeAll(path("note.txt"), plain));
    QVERIFY(writeAll(path("note.txt.enc"), older));
    startRun(encryptButton, QStringLiteral("note.txt"));

    const QString question = waitForWindow(questionTitle);
    QVERIFY2(!question.isEmpty(), "no replace question");
    press(question, qPrintable(answer));
    QVERIFY(waitUntilGone(questionTitle));
    const QByteArray expected = replaced ? rc4(password, plain) : older;
    QVERIFY(waitFor([&] { return readAll(path("note.txt.enc")) == expected && !runPartExists(); }));
    QCOMPARE(entries(), QStringList({".", "..", "note.txt", "note.txt.enc"}));
    QVERIFY(QFile::remove(path("note.txt")) && QFile::remove(path("note.txt.enc")));
}

void TestEndToEnd::aboutOpensAndCloses()
{
    click(m_main, aboutButton);
    const QString about = waitForWindow(aboutTitle);
    QVERIFY2(!about.isEmpty(), "no About window");
    click(about, aboutCloseButton);
    QVERIFY(waitUntilGone(aboutTitle));
    // Opens again, and Escape closes it too.
    click(m_main, aboutButton);
    const QString again = waitForWindow(aboutTitle);
    QVERIFY(!again.isEmpty());
    press(again, "Escape");
    QVERIFY(waitUntilGone(aboutTitle));
}

// Large enough to take seconds, sparse so that it costs no disk: a stopped run never writes
// much of it.
constexpr qint64 bigSize = qint64(3) << 30;

bool TestEndToEnd::makeBigFile()
{
    QFile big(path("big.bin"));
    return big.open(QIODevice::WriteOnly) && big.resize(bigSize);
}

// Escape during a run asks whether to stop: No goes on, Yes stops and leaves the folder as it
// was.
void TestEndToEnd::escapeAsksToStop()
{
    QVERIFY(makeBigFile());
    const QStringList before = entries();
    startRun(encryptButton, QStringLiteral("big.bin"));
    QVERIFY2(waitFor([this] { return inputIsOpen("big.bin"); }), "the run did not start");

    press(m_main, "Escape");
    QString question = waitForWindow(questionTitle);
    QVERIFY2(!question.isEmpty(), "Escape did not ask to stop");
    press(question, "n");
    QVERIFY(waitUntilGone(questionTitle));
    QVERIFY2(inputIsOpen("big.bin"), "the run ended although No was answered");

    press(m_main, "Escape");
    question = waitForWindow(questionTitle);
    QVERIFY2(!question.isEmpty(), "the second Escape did not ask to stop");
    press(question, "y");
    QVERIFY(waitUntilGone(questionTitle));
    QVERIFY(waitFor([this] { return !inputIsOpen("big.bin"); }));
    QCOMPARE(entries(), before);
}

// Who encrypts or decrypts a file: the window or varnok-cli, of the Linux or the Windows build.
enum Side { LinuxWindow, WindowsWindow, LinuxCli, WindowsCli };

void TestEndToEnd::filesGoBetweenSystems_data()
{
    QTest::addColumn<int>("encrypter");
    QTest::addColumn<int>("decrypter");
    QTest::newRow("Linux encrypts, Windows decrypts") << +LinuxWindow << +WindowsWindow;
    QTest::newRow("Windows encrypts, Linux decrypts") << +WindowsWindow << +LinuxWindow;
    QTest::newRow("varnok-cli encrypts, the window decrypts") << +LinuxCli << +LinuxWindow;
    QTest::newRow("the window encrypts, varnok-cli decrypts") << +LinuxWindow << +LinuxCli;
    QTest::newRow("varnok-cli.exe encrypts, varnok.exe decrypts") << +WindowsCli << +WindowsWindow;
    QTest::newRow("varnok.exe encrypts, varnok-cli.exe decrypts") << +WindowsWindow << +WindowsCli;
    QTest::newRow("varnok-cli encrypts, varnok.exe decrypts") << +LinuxCli << +WindowsWindow;
    QTest::newRow("varnok-cli.exe encrypts, Linux decrypts") << +WindowsCli << +LinuxWindow;
}

// Encrypts or decrypts name in the suite's folder with pass1252, in the window (started anew
// if it is the other build's) or with varnok-cli, the password on its standard input.
bool TestEndToEnd::runOn(int side, bool encrypt, const QString &name)
{
    if (side == LinuxWindow || side == WindowsWindow) {
        if (m_underWine != (side == WindowsWindow) &&
            !(endProgram() &&
              startProgram(side == WindowsWindow ? windowsProgram() : linuxProgram())))
            return false;
        startRun(encrypt ? encryptButton : decryptButton, name, pass1252);
        const QString output = encrypt ? name + QStringLiteral(".enc") : name.chopped(4);
        return waitFor([&] { return QFile::exists(path(output)); });
    }
    QProcess cli;
    cli.setProcessEnvironment(m_env);
    cli.setWorkingDirectory(m_folder->path());
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList arguments{encrypt ? "encrypt" : "decrypt", "--", name};
    if (side == LinuxCli)
        cli.start(QStringLiteral(VARNOK_CLI_PROGRAM), arguments);
    else
        cli.start(QStringLiteral(VARNOK_WINE_RUN),
                  QStringList{QFileInfo(windowsProgram().arguments.value(0))
                                  .dir()
                                  .filePath(QStringLiteral("varnok-cli.exe"))} +
                      arguments);
    cli.write(pass1252.toUtf8() + '\n');
    cli.closeWriteChannel();
    return cli.waitForFinished(120000) && cli.exitStatus() == QProcess::NormalExit &&
           cli.exitCode() == 0;
}

// A file encrypted by one program decrypts byte for byte with the other, with a password whose
// key bytes are Windows-1252 codes above 127.
void TestEndToEnd::filesGoBetweenSystems()
{
    QFETCH(int, encrypter);
    QFETCH(int, decrypter);
    const auto windowsSide = [](int side) { return side == WindowsWindow || side == WindowsCli; };
    if (!windowsMode() && (windowsSide(encrypter) || windowsSide(decrypter)))
        QSKIP("needs a Windows build (VARNOK_E2E_WINDOWS_PROGRAM)");
    QByteArray plain(70 * 1024, Qt::Uninitialized);
    for (qsizetype i = 0; i < plain.size(); ++i)
        plain[i] = char((i * 131) ^ (i >> 9));
    QVERIFY(writeAll(path("memo.txt"), plain));

    QVERIFY(runOn(encrypter, true, QStringLiteral("memo.txt")));
    QVERIFY(readAll(path("memo.txt.enc")) == rc4(pass1252, plain));
    QVERIFY(QFile::remove(path("memo.txt")));
    QVERIFY(runOn(decrypter, false, QStringLiteral("memo.txt.enc")));
    QVERIFY(readAll(path("memo.txt")) == plain);

    // The steps after this one drive the program the suite is for.
    if (m_underWine != windowsMode())
        QVERIFY(endProgram() && startProgram(windowsMode() ? windowsProgram() : linuxProgram()));
}

// The program the suite drives, with path as its argument ("%1": the test's folder).
Program TestEndToEnd::programGiven(QByteArray path) const
{
    if (windowsMode()) {
        path.replace("%1", QByteArray("Z:" + QFile::encodeName(m_folder->path())));
        Program program = windowsProgram();
        program.arguments << QString::fromUtf8(path).replace(u'/', u'\\');
        return program;
    }
    path.replace("%1", QFile::encodeName(m_folder->path()));
    // QProcess passes arguments through UTF-8, which would change a name that is not UTF-8:
    // the shell's printf writes the bytes.
    QString octal;
    for (const char byte : std::as_const(path))
        octal += QStringLiteral("\\%1").arg(uchar(byte), 3, 8, QLatin1Char('0'));
    return {QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$(printf \"$1\")\""),
             QStringLiteral(VARNOK_PROGRAM), octal},
            false};
}

namespace {

// Past the 260 characters of a plain Windows path.
const QByteArray deepFolder = QList<QByteArray>(5, QByteArray(60, 'd')).join('/');

} // namespace

void TestEndToEnd::pathGivenToTheProgram_data()
{
    QTest::addColumn<QByteArray>("given"); // '/' separated
    QTest::addColumn<QByteArray>("file");  // encrypted then, its name typed unless given
    const auto row = [](const char *what, const QByteArray &given, const QByteArray &file) {
        QTest::newRow(what) << given << file;
    };
    row("a file by a relative path", "sub/letter.txt", "sub/letter.txt");
    row("a file by a long absolute path", "%1/" + deepFolder + "/letter.txt",
        deepFolder + "/letter.txt");
    row("a folder", "sub", "sub/letter.txt");
    if (windowsMode()) // Wine finds shares in its prefix's dosdevices/unc
        row("a file on a share", "//varnok-e2e/share/sub/letter.txt", "sub/letter.txt");
    else
        row("a name that is not UTF-8", "sub/caf\xe9.txt", "sub/caf\xe9.txt");
}

// `varnok PATH`, as a file manager's "Open With", Explorer's menu or a drop on the program runs
// it: the window opens with the file chosen, or at the folder.
void TestEndToEnd::pathGivenToTheProgram()
{
    QFETCH(QByteArray, given);
    QFETCH(QByteArray, file);
    const QByteArray folder = QFile::encodeName(m_folder->path()) + '/';
    const auto raw = [&folder](const QByteArray &relative) {
        return std::filesystem::path(QByteArray(folder + relative).toStdString());
    };
    const QByteArray plain = "a letter, opened from the file manager";
    std::filesystem::create_directories(raw(file).parent_path());
    std::ofstream(raw(file), std::ios::binary) << plain.toStdString();
    if (given.startsWith("//")) {
        const QString server = m_winePrefix->path() + QStringLiteral("/dosdevices/unc/varnok-e2e");
        QVERIFY(QDir().mkpath(server) && QFile::link(m_folder->path(), server + "/share"));
    }

    QVERIFY(endProgram());
    QVERIFY(startProgram(programGiven(given)));
    typeInto(passwordBox, password);
    if (!given.endsWith(file))
        typeInto(nameBox, QString::fromStdString(raw(file).filename().string()));
    click(m_main, encryptButton);
    const std::filesystem::path output = raw(file + ".enc");
    QVERIFY(waitFor([&output] { return std::filesystem::exists(output); }));
    QVERIFY(readAll(output) == rc4(password, plain));

    // The steps after this one start in the folder, with nothing given.
    for (const QByteArray &made : {QByteArray("sub"), deepFolder.first(60)})
        std::filesystem::remove_all(raw(made));
    QVERIFY(endProgram());
    QVERIFY(startProgram(windowsMode() ? windowsProgram() : linuxProgram()));
}

// A log-off on Windows, sent to the main window (see sessionend_win.cpp): without a run the
// session may end; during one Windows is asked to wait, and if the session ends nonetheless the
// program ends at once, without a question, leaving the old output and no staged file.
void TestEndToEnd::logOffDuringRun()
{
    if (!windowsMode())
        QSKIP("on Linux a log-off is a signal (tst_filecommands)");
    const auto logOff = [this](const char *steps) { // the answers to the queries among them
        QProcess sender;
        sender.setProcessEnvironment(m_env);
        sender.start(QStringLiteral(VARNOK_WINE_RUN),
                     QStringList{qEnvironmentVariable("VARNOK_E2E_SESSION_END"),
                                 QStringLiteral("Varnok Encryptor")}
                         << words(steps));
        sender.waitForFinished(60000);
        return QString::fromLatin1(sender.readAllStandardOutput()).simplified();
    };
    QVERIFY(makeBigFile() && writeAll(path("big.bin.enc"), "old"));
    const QStringList before = entries();
    QCOMPARE(logOff("query cancel"), QStringLiteral("1"));
    startRun(encryptButton, QStringLiteral("big.bin"));
    press(waitForWindow(questionTitle), "y"); // replace big.bin.enc
    QVERIFY2(waitFor([this] { return runPartExists(); }), "the run did not start");
    QCOMPARE(logOff("query cancel"), QStringLiteral("0"));
    QVERIFY2(runPartExists(), "the run ended although the session went on");
    QCOMPARE(logOff("query end"), QStringLiteral("0"));
    QVERIFY(m_program.waitForFinished(20000));
    QCOMPARE(m_program.exitCode(), 0);
    QCOMPARE(entries(), before);
    QCOMPARE(readAll(path("big.bin.enc")), QByteArray("old"));
    QVERIFY(startProgram(windowsProgram())); // for the steps after this one
}

// A drive that does not answer (a share whose server is gone; here a FUSE file system whose statfs
// and open wait): the window appears and works all the same, a run stuck on it is asked about,
// says it cannot be stopped and gives the window back, and Exit ends the program's own part at
// once. (The kernel finishes the process once the drive answers: a thread in a request the FUSE
// server has taken waits it out, even when killed.)
void TestEndToEnd::driveThatDoesNotAnswer()
{
#ifndef VARNOK_STALLFS
    QSKIP("needs libfuse3, for stallfs");
#else
    if (windowsMode() || ::geteuid() != 0 || !QFile::exists(QStringLiteral("/dev/fuse")))
        QSKIP("needs FUSE, and root for a mount namespace of the run's own");
    QTemporaryDir drive;
    const QString marker = drive.filePath(QStringLiteral("stalled"));
    const QString share = drive.filePath(QStringLiteral("share"));
    QVERIFY(writeAll(marker, {}) && QDir().mkpath(share));
    const auto answer = qScopeGuard([&marker] { QFile::remove(marker); });
    // Mounted as a network share (its type says sshfs), which the picker lists wherever it is.
    const QString mount = QStringLiteral("%1 %2 %3 -f -o ro,subtype=sshfs,fsname=stalled & "
                                         "until [ -e %3/stuck.txt ]; do sleep 0.05; done")
                              .arg(QStringLiteral(VARNOK_STALLFS), marker, share);
    QVERIFY(endProgram());
    QVERIFY2(startOnOwnMount(mount, share), "no window while a drive does not answer");
    startRun(encryptButton, QStringLiteral("stuck.txt"));
    press(m_main, "Escape");
    QString question = waitForWindow(questionTitle);
    QVERIFY2(!question.isEmpty(), "Escape did not ask to stop a stuck run");
    press(question, "y");
    QVERIFY(waitUntilGone(questionTitle));
    question = waitForWindow(questionTitle); // that it cannot be stopped now
    QVERIFY2(!question.isEmpty(), "no word that the run cannot be stopped");
    press(question, "Return");
    QVERIFY(waitUntilGone(questionTitle));
    click(m_main, aboutButton);
    const QString about = waitForWindow(aboutTitle);
    QVERIFY2(!about.isEmpty(), "the window is not usable while the run waits");
    press(about, "Escape");
    QVERIFY(waitUntilGone(aboutTitle));

    click(m_main, exitButton);
    const QString leader = QStringLiteral("/proc/%1/stat").arg(m_program.processId());
    QVERIFY2(waitFor([&] { return readAll(leader).contains(") Z ") || !QFile::exists(leader); }),
             "the program's main thread did not end while the drive does not answer");
    QVERIFY(QFile::remove(marker));
    QVERIFY(m_program.waitForFinished(30000));
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 0);
    QVERIFY(startProgram(linuxProgram()));
#endif
}

// FAT keeps no owners, and fusefat implements neither chown nor chmod: a replace goes through.
void TestEndToEnd::replaceOnFat()
{
    const QString fusefat = QStandardPaths::findExecutable(QStringLiteral("fusefat"));
    const QString mkfs = QStandardPaths::findExecutable(
        QStringLiteral("mkfs.vfat"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    if (windowsMode() || fusefat.isEmpty() || mkfs.isEmpty() ||
        !QFile::exists(QStringLiteral("/dev/fuse")))
        QSKIP("needs FUSE, fusefat and mkfs.vfat");
    QTemporaryDir drive;
    const QString image = drive.filePath(QStringLiteral("fat.img"));
    const QString stick = drive.filePath(QStringLiteral("stick"));
    QVERIFY(QDir().mkpath(stick));
    QCOMPARE(QProcess::execute(mkfs, {QStringLiteral("-C"), image, QStringLiteral("2048")}), 0);
    QCOMPARE(
        QProcess::execute(fusefat, {QStringLiteral("-o"), QStringLiteral("rw+"), image, stick}), 0);
    const auto unmount = qScopeGuard([&stick] {
        QProcess::execute(QStringLiteral("fusermount"), {QStringLiteral("-uz"), stick});
    });
    QVERIFY(writeAll(stick + "/note.txt", "on a stick") &&
            writeAll(stick + "/note.txt.enc", "old"));
    QVERIFY(endProgram());
    QVERIFY(startProgram(linuxProgram(), stick));
    startRun(encryptButton, QStringLiteral("note.txt"));
    const QString question = waitForWindow(questionTitle);
    QVERIFY2(!question.isEmpty(), "no replace question");
    press(question, "y");
    QVERIFY(waitUntilGone(questionTitle));
    QVERIFY(waitFor([&] {
        return readAll(stick + "/note.txt.enc") == rc4(password, "on a stick") &&
               QDir(stick).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot) ==
                   QStringList({"note.txt", "note.txt.enc"});
    }));
    QVERIFY(endProgram());
    QVERIFY(startProgram(linuxProgram()));
}

// The window manager's close request during a run asks the same; Yes stops the run and ends
// the program.
void TestEndToEnd::closeDuringRunAsksToStop()
{
    QVERIFY(makeBigFile());
    const QStringList before = entries();
    startRun(encryptButton, QStringLiteral("big.bin"));
    QVERIFY2(waitFor([this] { return inputIsOpen("big.bin"); }), "the run did not start");
    press(m_main, "alt+F4"); // openbox's key for closing the active window
    const QString question = waitForWindow(questionTitle);
    QVERIFY2(!question.isEmpty(), "the close request did not ask to stop");
    press(question, "y");
    QVERIFY(m_program.waitForFinished(20000));
    QCOMPARE(m_program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_program.exitCode(), 0);
    QCOMPARE(entries(), before);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
