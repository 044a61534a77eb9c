#include "console.h"

#include "filename.h"
#include "rc4.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

// Standard input is read in an event loop, so that ExitSignals can end the program while it
// waits for a line, as it can during a run.

namespace varnok {

namespace {

constexpr std::array endingSignals{SIGTERM, SIGINT, SIGHUP};
// A password is at most 16 characters; a longer line is refused whole, so it is not read on.
constexpr qsizetype longestLine = 4096;

termios shownInput{};
struct sigaction earlierActions[endingSignals.size()]{};
volatile sig_atomic_t signalSeen = 0;

// Puts echo back before the signal goes on to whatever handled it before (ExitSignals, which
// ends the program): a terminal left without echo would hide the user's next commands too.
extern "C" void restoreEchoAndPassOn(int signal)
{
    const int savedErrno = errno;
    signalSeen = 1;
    ::tcsetattr(STDIN_FILENO, TCSANOW, &shownInput);
    for (std::size_t k = 0; k < endingSignals.size(); ++k) {
        if (endingSignals[k] != signal)
            continue;
        const auto earlier = earlierActions[k].sa_handler;
        if (earlier == SIG_DFL) {
            ::signal(signal, SIG_DFL);
            ::raise(signal); // delivered once this handler returns
        } else if (earlier != SIG_IGN) {
            earlier(signal);
        }
    }
    errno = savedErrno;
}

// Echo off for as long as it lives, and back on at any end, a signal's included.
class HiddenInput final
{
public:
    HiddenInput()
    {
        if (::tcgetattr(STDIN_FILENO, &shownInput) != 0)
            return;
        signalSeen = 0;
        for (std::size_t k = 0; k < endingSignals.size(); ++k) {
            struct sigaction action = {};
            ::sigaction(endingSignals[k], nullptr, &earlierActions[k]);
            action.sa_handler = restoreEchoAndPassOn;
            action.sa_flags = SA_RESTART;
            sigemptyset(&action.sa_mask);
            if (earlierActions[k].sa_handler != SIG_IGN)
                ::sigaction(endingSignals[k], &action, nullptr);
        }
        // A signal that came before the handler is in the pipe to ExitSignals: acted on here,
        // while echo is on.
        QCoreApplication::processEvents();
        m_active = true;
        termios hidden = shownInput;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &hidden);
        // One that came since has put echo back already, too early.
        if (signalSeen)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &shownInput);
    }
    ~HiddenInput()
    {
        if (!m_active)
            return;
        ::tcsetattr(STDIN_FILENO, TCSANOW, &shownInput);
        for (std::size_t k = 0; k < endingSignals.size(); ++k)
            if (earlierActions[k].sa_handler != SIG_IGN)
                ::sigaction(endingSignals[k], &earlierActions[k], nullptr);
    }
    Q_DISABLE_COPY_MOVE(HiddenInput)

private:
    bool m_active = false;
};

void waitUntilReadable(int fd)
{
    if (::fcntl(fd, F_GETFL) < 0)
        return; // closed: the read says so
    QSocketNotifier notifier(fd, QSocketNotifier::Read);
    QEventLoop loop;
    QObject::connect(&notifier, &QSocketNotifier::activated, &loop, &QEventLoop::quit);
    loop.exec();
}

void writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // nowhere left to say anything
        done += written;
    }
}

class PosixConsole final : public Console
{
public:
    bool inputIsTerminal() override { return ::isatty(STDIN_FILENO) == 1; }
    bool errorIsTerminal() override { return ::isatty(STDERR_FILENO) == 1; }

    std::optional<QString> readLine(const QString &prompt, bool hidden) override
    {
        std::optional<HiddenInput> echoOff;
        if (hidden && inputIsTerminal())
            echoOff.emplace();
        writeError(prompt);
        QByteArray line;
        line.reserve(longestLine); // never moved, so no copy of a password is left behind
        // Byte by byte: what follows the line stays for the next read.
        for (char c = 0; line.size() < longestLine;) {
            waitUntilReadable(STDIN_FILENO);
            const ssize_t got = ::read(STDIN_FILENO, &c, 1);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got <= 0 && line.isEmpty())
                return std::nullopt;
            if (got <= 0 || c == '\n')
                break;
            line += c;
        }
        QString text = decodeInputLine(line);
        secureZero(line.data(), std::size_t(line.size()));
        return text;
    }

    void writeOut(const QString &text) override { writeAll(STDOUT_FILENO, text.toUtf8()); }
    void writeError(const QString &text) override { writeAll(STDERR_FILENO, text.toUtf8()); }
};

} // namespace

std::unique_ptr<Console> systemConsole()
{
    return std::make_unique<PosixConsole>();
}

QStringList programArguments(int argc, char **argv)
{
    QStringList arguments;
    for (int k = 0; k < argc; ++k)
        arguments << decodeFileName(argv[k]);
    return arguments;
}

} // namespace varnok
