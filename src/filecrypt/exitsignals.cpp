#include "exitsignals.h"

#include "stagedoutput.h"

#include <QSocketNotifier>

#include <array>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace varnok {

namespace {

constexpr std::array endingSignals{SIGTERM, SIGINT, SIGHUP};

volatile sig_atomic_t signalPipe = -1;

extern "C" void passOn(int signal)
{
    const int savedErrno = errno;
    const char number = char(signal);
    // A full pipe already holds a signal for the loop to act on: nothing is lost.
    if (signalPipe >= 0) {
        [[maybe_unused]] const ssize_t written = ::write(signalPipe, &number, 1);
    }
    errno = savedErrno;
}

// Signals the program was started with ignored (nohup, a background job) stay ignored.
void setHandler(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int signal : endingSignals) {
        struct sigaction old = {};
        if (::sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            ::sigaction(signal, &action, nullptr);
    }
}

} // namespace

ExitSignals::ExitSignals(QObject *parent)
    : QObject(parent)
{
    std::array<int, 2> ends{};
    if (::pipe2(ends.data(), O_CLOEXEC | O_NONBLOCK) != 0)
        return; // the signals then end the program at once, as without this object
    m_readEnd = FileDescriptor(ends[0]);
    m_writeEnd = FileDescriptor(ends[1]);
    m_notifier = new QSocketNotifier(m_readEnd.get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &ExitSignals::endProgram);
    signalPipe = m_writeEnd.get();
    setHandler(passOn);
}

ExitSignals::~ExitSignals()
{
    if (m_notifier)
        setHandler(SIG_DFL);
    signalPipe = -1;
}

void ExitSignals::endProgram()
{
    char number = 0;
    if (::read(m_readEnd.get(), &number, 1) != 1)
        return;
    removeStagedFilesAtExit();
    // Ended by the signal itself, so that whoever sent it sees it did its work.
    setHandler(SIG_DFL);
    ::raise(number);
}

RunUnderWay::RunUnderWay(const QString &what)
{
    Q_UNUSED(what);
}

RunUnderWay::~RunUnderWay() = default;

} // namespace varnok
