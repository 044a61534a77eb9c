// The real varnok-cli on a pseudo-terminal, as someone at a terminal or a bash script runs it:
// what it asks, what it shows of what is typed, what a script gives it, and what Ctrl+C
// leaves behind. Enter is typed as a terminal sends it, as a carriage return.

#include "clifolder.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int timeoutMs = 60000; // a loaded machine, or a sanitizer build

// A bash command line in folder, on a terminal of its own: its standard streams and its
// controlling terminal, so that Ctrl+C typed there interrupts it.
class Session final
{
public:
    Session(const QString &line, const QString &folder)
    {
        const QByteArray command = line.toUtf8();
        const QByteArray where = folder.toUtf8();
        pid = ::forkpty(&m_master, nullptr, nullptr, nullptr);
        if (pid == 0) {
            if (::chdir(where.constData()) == 0)
                ::execlp("bash", "bash", "-c", command.constData(), nullptr);
            ::_exit(127);
        }
    }
    ~Session()
    {
        if (pid > 0 && ::kill(pid, SIGKILL) == 0)
            ::waitpid(pid, nullptr, 0);
        ::close(m_master);
    }
    Q_DISABLE_COPY_MOVE(Session)

    // Reads what is written to the terminal until done() holds; whether it did in time.
    bool readUntil(const std::function<bool()> &done)
    {
        QElapsedTimer clock;
        clock.start();
        pollfd ready{m_master, POLLIN, 0};
        char buffer[4096];
        while (!done()) {
            if (clock.elapsed() > timeoutMs)
                return false;
            if (::poll(&ready, 1, 20) <= 0)
                continue;
            if (const ssize_t got = ::read(m_master, buffer, sizeof buffer); got > 0)
                output.append(buffer, got);
            else
                QTest::qSleep(20); // closed: no one writes any more
        }
        return true;
    }
    // Waits for text, after what was found before.
    bool expect(const QByteArray &text)
    {
        const bool found = readUntil([&] { return output.indexOf(text, m_seen) >= 0; });
        m_seen = output.indexOf(text, m_seen) + text.size();
        return found;
    }
    bool type(const QByteArray &keys)
    {
        return ::write(m_master, keys.data(), keys.size()) == keys.size();
    }
    // The wait status once the command has ended, or -1 when it does not end in time.
    int wait()
    {
        int status = -1;
        if (readUntil([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }))
            pid = -1;
        return status;
    }
    // The terminal's own settings, which a program shares with its parent shell.
    bool echoes() const
    {
        termios settings{};
        return ::tcgetattr(m_master, &settings) == 0 && (settings.c_lflag & ECHO);
    }

    pid_t pid = -1;
    QByteArray output;

private:
    int m_master = -1;
    qsizetype m_seen = 0;
};

} // namespace

class TestCliTerminal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Called by its name, as the README's examples call it.
        qputenv("PATH",
                QFileInfo(QStringLiteral(VARNOK_CLI)).path().toUtf8() + ':' + qgetenv("PATH"));
    }
    void session_data();
    void session();
};

// Each row: a bash command line; the files made beforehand ("big.bin" made 3 GiB and sparse, to
// be under way for seconds); what to wait for on the terminal and then type, in turns; the exit
// status (negative: ended by that signal); the files afterwards and the password they are
// encrypted with.
void TestCliTerminal::session_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("turns");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("password");

    const QStringList twice{"Password: ", "secret\r", "Password again: ", "secret\r"};
    QTest::newRow("encrypt asks twice, showing nothing typed")
        << "varnok-cli encrypt a.txt" << QStringList{"a.txt"} << twice << 0
        << QStringList{"a.txt.enc=rc4 a.txt"} << "secret";
    QTest::newRow("passwords that differ")
        << "varnok-cli encrypt a.txt" << QStringList{"a.txt"}
        << QStringList{"Password: ", "secret\r", "Password again: ", "Secret\r"} << 1
        << QStringList{"a.txt.enc=missing"} << "ecret";
    QTest::newRow("decrypt asks once; replace? n")
        << "varnok-cli decrypt a.txt.enc" << QStringList{"a.txt.enc", "a.txt"}
        << QStringList{"Password: ", "secret\r", "? [y/N] ", "n\r", "was kept", ""} << 1
        << QStringList{"a.txt=original"} << "secret";
    QTest::newRow("replace? y") << "varnok-cli encrypt a.txt" << QStringList{"a.txt", "a.txt.enc"}
                                << twice + QStringList{"? [y/N] ", "y\r"} << 0
                                << QStringList{"a.txt.enc=rc4 a.txt"} << "secret";
    // The Windows build's console input, on Wine's console (./build.sh names the programs).
    QTest::newRow("varnok-cli.exe asks twice, showing nothing typed")
        << R"("$VARNOK_WINE_RUN" "$VARNOK_WINDOWS_CLI" encrypt a.txt)" << QStringList{"a.txt"}
        << QStringList{"Password:", "secret\r", "again:", "secret\r"} << 0
        << QStringList{"a.txt.enc=rc4 a.txt"} << "secret";
    QTest::newRow("Ctrl+C at the password prompt")
        << "varnok-cli encrypt a.txt" << QStringList{"a.txt"} << QStringList{"Password: ", "\x03"}
        << -SIGINT << QStringList{"a.txt.enc=missing"} << "secret";
    QTest::newRow("Ctrl+C mid-run, after the progress line")
        << "varnok-cli encrypt big.bin" << QStringList{"big.bin"}
        << twice + QStringList{"MiB/s", "\x03"} << -SIGINT << QStringList{"big.bin.enc=missing"}
        << "secret";

    // Scripts: standard input a pipe, so no prompt; standard error still the terminal.
    QTest::newRow("the README's loop decrypts every .enc file in a folder")
        << R"(read -rsp 'Password: ' pw && echo && for f in old/*.enc; do printf '%s\n' "$pw" | varnok-cli decrypt -- "$f"; done)"
        << QStringList{"old/a.txt.enc", "old/b.txt.enc"} << QStringList{"Password: ", "secret\r"}
        << 0 << QStringList{"old/a.txt=rc4 old/a.txt.enc", "old/b.txt=rc4 old/b.txt.enc"}
        << "secret";
    // 16 characters given as their Windows-1252 codes, which are the key bytes.
    QTest::newRow("Windows-1252 bytes, keyed as openssl keys them")
        << "printf 'P\\344ssw\\366rd\\200 16 ch.\\n' | varnok-cli encrypt -- a.txt && openssl enc "
           "-rc4 -nosalt -K 50e4737377f67264802031362063682e -provider legacy -provider default "
           "-in a.txt -out a.openssl"
        << QStringList{"a.txt"} << QStringList() << 0
        << QStringList{"a.txt.enc=rc4 a.txt", "a.openssl=rc4 a.txt"}
        << "P\u00e4ssw\u00f6rd\u20ac 16 ch.";
}

// Whatever happens, the password is never shown, echo is on at the end, and no staged file
// is left.
void TestCliTerminal::session()
{
    QFETCH(QString, line);
    QFETCH(QStringList, present);
    QFETCH(QStringList, turns);
    QFETCH(int, status);
    QFETCH(QStringList, after);
    QFETCH(QString, password);
    if (line.contains(QLatin1String("VARNOK_WINDOWS_CLI")) &&
        !qEnvironmentVariableIsSet("VARNOK_WINDOWS_CLI"))
        QSKIP("needs a Windows build (VARNOK_WINDOWS_CLI)");
    QTemporaryDir root;
    const QDir folder(root.path());
    QVERIFY(clifolder::create(folder, present));
    if (present.contains(QStringLiteral("big.bin")))
        QVERIFY(QFile::resize(folder.filePath(QStringLiteral("big.bin")), qint64(3) << 30));

    Session session(line, folder.path());
    QVERIFY(session.pid > 0);
    for (qsizetype k = 0; k + 1 < turns.size(); k += 2) {
        QVERIFY2(session.expect(turns[k].toUtf8()), session.output.constData());
        // Under Wine, the terminal echoes until its console takes it over.
        if (turns[k + 1].contains(password))
            QVERIFY2(session.readUntil([&] { return !session.echoes(); }),
                     "a password is asked for with echo on");
        QVERIFY(session.type(turns[k + 1].toUtf8()));
    }
    const int ended = session.wait();
    QVERIFY2(status < 0 ? WIFSIGNALED(ended) && WTERMSIG(ended) == -status
                        : WIFEXITED(ended) && WEXITSTATUS(ended) == status,
             session.output.constData());
    QVERIFY2(!session.output.contains(password.toUtf8()), "the password was shown");
    QVERIFY(session.echoes());
    QVERIFY(folder.entryList({QStringLiteral(".varnok-*")}, QDir::Files | QDir::Hidden).isEmpty());
    QCOMPARE(clifolder::firstMismatch(folder, after, password), QString());
}

QTEST_GUILESS_MAIN(TestCliTerminal)
#include "tst_cliterminal.moc"
