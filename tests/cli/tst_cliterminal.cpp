// The real varnok-cli on a pseudo-terminal, as someone at a terminal or a shell script runs
// it: what it asks, what it shows of what is typed, and what a signal leaves behind.

#include "clifolder.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <vector>

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

namespace {

constexpr int timeoutMs = 60000; // a loaded machine, or a sanitizer build

// One program on a terminal of its own: its standard streams and controlling terminal.
class Session final
{
public:
    ~Session()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        for (const int fd : {m_master, m_slave})
            if (fd >= 0)
                ::close(fd);
    }

    bool start(const QStringList &command, const QString &folder)
    {
        std::vector<QByteArray> words;
        for (const QString &word : command)
            words.push_back(word.toUtf8());
        std::vector<char *> argv;
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        const QByteArray where = folder.toUtf8();
        if (::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(m_master);
            if (::chdir(where.constData()) == 0 && ::login_tty(::dup(m_slave)) == 0)
                ::execvp(argv[0], argv.data());
            ::_exit(127);
        }
        return m_pid > 0;
    }

    // Reads what the program writes until text comes (after what an earlier call found).
    bool expect(const QByteArray &text)
    {
        QElapsedTimer clock;
        clock.start();
        for (qsizetype at = -1; (at = output.indexOf(text, m_seen)) < 0;) {
            if (clock.elapsed() > timeoutMs)
                return false;
            readOutput(50);
        }
        m_seen = output.indexOf(text, m_seen) + text.size();
        return true;
    }
    void type(const QByteArray &bytes)
    {
        QCOMPARE(::write(m_master, bytes.data(), bytes.size()), bytes.size());
    }
    void signal(int number) { ::kill(m_pid, number); }

    // The wait status once the program has ended, reading its output meanwhile; -1 if it has
    // not ended in time.
    int wait()
    {
        QElapsedTimer clock;
        clock.start();
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (clock.elapsed() > timeoutMs)
                return -1;
            readOutput(20);
        }
        m_pid = -1;
        readOutput(0);
        return status;
    }

    bool echoes() const
    {
        termios settings{};
        return ::tcgetattr(m_slave, &settings) == 0 && (settings.c_lflag & ECHO);
    }

    QByteArray output;

private:
    void readOutput(int waitMs)
    {
        pollfd ready{m_master, POLLIN, 0};
        char buffer[4096];
        while (::poll(&ready, 1, waitMs) > 0 && (ready.revents & POLLIN)) {
            const ssize_t got = ::read(m_master, buffer, sizeof buffer);
            if (got <= 0)
                return;
            output.append(buffer, got);
            waitMs = 0;
        }
    }

    pid_t m_pid = -1;
    int m_master = -1;
    int m_slave = -1;
    qsizetype m_seen = 0;
};

QStringList entries(const QDir &folder)
{
    return folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestCliTerminal : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The scripts call it by name, as the README's examples do.
        qputenv("PATH",
                QFileInfo(QStringLiteral(VARNOK_CLI)).path().toUtf8() + ':' + qgetenv("PATH"));
        QVERIFY(m_root.isValid());
    }
    void init()
    {
        for (const QString &name : entries(folder()))
            QVERIFY(QFile::remove(folder().filePath(name)));
    }

    void terminalSession_data();
    void terminalSession();
    void signalEndsTheRun_data();
    void signalEndsTheRun();
    void script_data();
    void script();

private:
    QDir folder() const { return QDir(m_root.path()); }

    QTemporaryDir m_root;
};

// Each row: the command line; the files made beforehand; what to wait for and what to type
// then, in turns; the exit status and the files afterwards (the key: "secret").
void TestCliTerminal::terminalSession_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("turns");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("after");

    const QStringList twice{"Password: ", "secret", "Password again: ", "secret"};
    QTest::newRow("encrypt asks twice, showing nothing typed")
        << "encrypt a.txt" << QStringList{"a.txt"} << twice << 0
        << QStringList{"a.txt.enc=rc4 a.txt"};
    QTest::newRow("passwords that differ")
        << "encrypt a.txt" << QStringList{"a.txt"}
        << QStringList{"Password: ", "secret", "Password again: ", "Secret", "do not match", ""}
        << 1 << QStringList{"a.txt.enc=missing"};
    QTest::newRow("decrypt asks once; replace? n")
        << "decrypt a.txt.enc" << QStringList{"a.txt.enc", "a.txt"}
        << QStringList{"Password: ", "secret", "? [y/N] ", "n", "was kept", ""} << 1
        << QStringList{"a.txt=original"};
    QTest::newRow("replace? y") << "encrypt a.txt" << QStringList{"a.txt", "a.txt.enc"}
                                << twice + QStringList{"? [y/N] ", "y"} << 0
                                << QStringList{"a.txt.enc=rc4 a.txt"};
}

void TestCliTerminal::terminalSession()
{
    QFETCH(QString, arguments);
    QFETCH(QStringList, present);
    QFETCH(QStringList, turns);
    QFETCH(int, status);
    QFETCH(QStringList, after);
    QVERIFY(clifolder::create(folder(), present));
    Session session;
    QVERIFY(session.start(QStringList{VARNOK_CLI} + arguments.split(u' '), folder().path()));
    for (qsizetype k = 0; k + 1 < turns.size(); k += 2) {
        QVERIFY2(session.expect(turns[k].toUtf8()), session.output.constData());
        if (!turns[k + 1].isEmpty())
            session.type(turns[k + 1].toUtf8() + '\n');
    }
    const int ended = session.wait();
    QVERIFY2(WIFEXITED(ended) && WEXITSTATUS(ended) == status, session.output.constData());
    QVERIFY2(!session.output.contains("ecret"), "the password was shown");
    QVERIFY(session.echoes());
    QCOMPARE(clifolder::firstMismatch(folder(), after, QStringLiteral("secret")), QString());
}

void TestCliTerminal::signalEndsTheRun_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("typed"); // as Ctrl+C on the terminal, else sent
    QTest::addColumn<bool>("atPrompt");
    QTest::newRow("Ctrl+C at the password prompt") << SIGINT << true << true;
    QTest::newRow("Ctrl+C mid-run") << SIGINT << true << false;
    QTest::newRow("SIGTERM mid-run") << SIGTERM << false << false;
    QTest::newRow("SIGHUP mid-run") << SIGHUP << false << false;
}

// The program ends by the signal itself, with the folder as it was and echo on.
void TestCliTerminal::signalEndsTheRun()
{
    QFETCH(int, signal);
    QFETCH(bool, typed);
    QFETCH(bool, atPrompt);
    QFile big(folder().filePath(QStringLiteral("big.bin"))); // sparse: costs no disk
    QVERIFY(big.open(QIODevice::WriteOnly) && big.resize(qint64(3) << 30));
    big.close();
    Session session;
    QVERIFY(session.start({VARNOK_CLI, "encrypt", "big.bin"}, folder().path()));
    QVERIFY(session.expect("Password: "));
    if (!atPrompt) {
        session.type("secret\n");
        QVERIFY(session.expect("Password again: "));
        session.type("secret\n");
        // The progress line, once the run is under way.
        QVERIFY2(session.expect("MiB/s"), session.output.constData());
    }
    if (typed)
        session.type("\x03");
    else
        session.signal(signal);
    const int ended = session.wait();
    QVERIFY2(WIFSIGNALED(ended) && WTERMSIG(ended) == signal, session.output.constData());
    QCOMPARE(entries(folder()), QStringList{"big.bin"});
    QVERIFY(session.echoes());
}

// Each row: a bash command line, what is typed on the terminal, its exit status, the files
// made beforehand and afterwards, and the key these are encrypted with.
void TestCliTerminal::script_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QString>("password");

    QTest::newRow("the README's loop decrypts every .enc file in a folder")
        << R"(read -rs pw && for f in *.enc; do printf '%s\n' "$pw" | varnok-cli decrypt -- "$f"; done)"
        << "secret" << 0 << QStringList{"a.txt.enc", "b.txt.enc"}
        << QStringList{"a.txt=rc4 a.txt.enc", "b.txt=rc4 b.txt.enc"} << "secret";
    // 16 characters whose key bytes are their Windows-1252 codes, given as those bytes.
    QTest::newRow("Windows-1252 bytes, keyed as openssl keys them")
        << "printf 'P\\344ssw\\366rd\\200 16 ch.\\n' | varnok-cli encrypt -- a.txt && openssl enc "
           "-rc4 -nosalt -K 50e4737377f67264802031362063682e -provider legacy -provider default "
           "-in a.txt -out a.openssl"
        << "" << 0 << QStringList{"a.txt"}
        << QStringList{"a.txt.enc=rc4 a.txt", "a.openssl=rc4 a.txt"}
        << "P\u00e4ssw\u00f6rd\u20ac 16 ch.";
    QTest::newRow("UTF-8; an output that exists is kept")
        << "printf 'P\u00e4ssw\u00f6rd\u20ac\\n' | varnok-cli encrypt a.txt b.txt"
        << "" << 1 << QStringList{"a.txt", "b.txt", "b.txt.enc"}
        << QStringList{"a.txt.enc=rc4 a.txt", "b.txt.enc=original"} << "P\u00e4ssw\u00f6rd\u20ac";
}

// Standard input a pipe, standard error the terminal: no prompt, and only the messages.
void TestCliTerminal::script()
{
    QFETCH(QString, line);
    QFETCH(QString, typed);
    QFETCH(int, status);
    QFETCH(QStringList, present);
    QFETCH(QStringList, after);
    QFETCH(QString, password);
    QVERIFY(clifolder::create(folder(), present));
    Session session;
    QVERIFY(session.start({"bash", "-c", line}, folder().path()));
    if (!typed.isEmpty())
        session.type(typed.toUtf8() + '\n');
    const int ended = session.wait();
    QVERIFY2(WIFEXITED(ended) && WEXITSTATUS(ended) == status, session.output.constData());
    QVERIFY2(!session.output.contains("Password"), session.output.constData());
    QCOMPARE(clifolder::firstMismatch(folder(), after, password), QString());
}

QTEST_GUILESS_MAIN(TestCliTerminal)
#include "tst_cliterminal.moc"
