#include "commandthread.h"

#include "rc4.h"

#include <QElapsedTimer>
#include <QEventLoop>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>

namespace varnok {

namespace {

// How often a run reports its progress to the window: often enough for a smooth bar, seldom
// enough that the run hardly waits for the window.
constexpr qint64 reportIntervalMs = 15;

// Set on the way out of the process (exit(), as when the display goes away): a run the window let
// go of must not go on into whatever exit() is tearing down. It stops at its next call to the
// host and waits there for the end.
std::atomic<bool> processEnding = false;

void noteProcessEnding()
{
    processEnding = true;
}

void watchForProcessEnd()
{
    static std::once_flag once;
    std::call_once(once, [] { std::atexit(noteProcessEnding); });
}

void stayIfProcessEnding()
{
    while (processEnding)
        std::this_thread::sleep_for(std::chrono::hours(1));
}

} // namespace

// What the window's thread and a run's thread share. `relay` is posted to only under the mutex
// and only until the run is let go, which its destructor does first.
struct CommandThread::Channel
{
    Channel(CommandThread *relayTo, CommandHost &servedHost)
        : relay(relayTo)
        , host(servedHost)
    {}

    CommandThread *const relay;
    CommandHost &host;
    std::mutex mutex;
    std::condition_variable changed;
    std::function<void()> request; // the call the run waits for, if any
    bool serving = false;          // being made now, on the window's thread
    bool made = false;             // made: its answer is in
    bool ended = false;            // the command has returned
    std::atomic<bool> letGo = false;
    std::atomic<bool> callSoon = false;
};

// The host the command sees on its own thread.
class CommandThread::WorkerHost final : public CommandHost
{
public:
    explicit WorkerHost(std::shared_ptr<Channel> channel)
        : m_channel(std::move(channel))
    {}

    QString passwordText() override
    {
        return ask([](CommandHost &host) { return host.passwordText(); }, QString());
    }
    QString folderPath() override
    {
        return ask([](CommandHost &host) { return host.folderPath(); }, QString());
    }
    QString fileName() override
    {
        return ask([](CommandHost &host) { return host.fileName(); }, QString());
    }
    void showBusyPointer() override
    {
        tell([](CommandHost &host) { host.showBusyPointer(); });
    }
    void showDefaultPointer() override
    {
        tell([](CommandHost &host) { host.showDefaultPointer(); });
    }
    void showMessage(const QString &text) override
    {
        tell([&text](CommandHost &host) { host.showMessage(text); });
    }
    bool confirmReplace(const QString &path, const QString &caveat) override
    {
        return ask([&](CommandHost &host) { return host.confirmReplace(path, caveat); }, false);
    }
    // Passed on now and then, and at once when the window asked for it (callSoon()); what the
    // window says about stopping comes back with it.
    void showProgress(qint64 done, qint64 total) override
    {
        const bool soon = m_channel->callSoon.exchange(false);
        if (!soon && m_lastReport.isValid() && m_lastReport.elapsed() < reportIntervalMs)
            return;
        m_lastReport.start();
        m_stop = ask(
            [done, total](CommandHost &host) {
                host.showProgress(done, total);
                return host.stopRequested();
            },
            true);
    }
    bool stopRequested() override
    {
        stayIfProcessEnding();
        return m_stop || m_channel->letGo;
    }

private:
    // Makes call on the window's thread and waits for its answer; ifLetGo once the window has
    // let go of the run.
    template <typename Call, typename Result>
    Result ask(Call call, Result ifLetGo)
    {
        stayIfProcessEnding();
        Channel &channel = *m_channel;
        std::unique_lock lock(channel.mutex);
        if (channel.letGo)
            return ifLetGo;
        Result result = ifLetGo;
        channel.request = [&result, &call, &channel] { result = call(channel.host); };
        channel.made = false;
        QMetaObject::invokeMethod(
            channel.relay, [channel = m_channel] { channel->relay->serve(channel); },
            Qt::QueuedConnection);
        // A call being made is waited for even when the run is let go meanwhile: it writes here.
        channel.changed.wait(
            lock, [&channel] { return channel.made || (channel.letGo && !channel.serving); });
        channel.request = nullptr;
        return channel.made ? result : ifLetGo;
    }

    // The same for a call that has no answer.
    template <typename Call>
    void tell(Call call)
    {
        ask(
            [&call](CommandHost &host) {
                call(host);
                return true;
            },
            false);
    }

    std::shared_ptr<Channel> m_channel;
    QElapsedTimer m_lastReport;
    bool m_stop = false;
};

CommandThread::CommandThread(CommandHost &host, QObject *parent)
    : QObject(parent)
    , m_host(host)
{}

CommandThread::~CommandThread()
{
    letGo();
}

CommandThread::End CommandThread::run(Command command)
{
    watchForProcessEnd();
    auto channel = std::make_shared<Channel>(this, m_host);
    m_channel = channel;
    QEventLoop loop;
    m_loop = &loop;
    // Detached: a run stuck in a system call on a drive that does not answer may never return,
    // and nothing waits for it, not even the end of the program.
    std::thread worker;
    try {
        worker = std::thread([channel, command] {
            {
                WorkerHost host(channel);
                Rc4State cipher;
                FileCommands commands(cipher, host);
                (commands.*command)();
            }
            const std::lock_guard lock(channel->mutex);
            channel->ended = true;
            if (!channel->letGo)
                QMetaObject::invokeMethod(
                    channel->relay, [channel] { channel->relay->finish(channel); },
                    Qt::QueuedConnection);
        });
    } catch (const std::system_error &error) {
        m_channel.reset();
        m_loop = nullptr;
        m_host.showMessage(
            tr("The command could not start: %1").arg(QString::fromLocal8Bit(error.what())));
        return End::Ended;
    }
    worker.detach();
    loop.exec();
    m_loop = nullptr;
    bool ended = false;
    {
        const std::lock_guard lock(channel->mutex);
        ended = channel->ended;
    }
    if (!ended)
        letGo(); // the application is quitting
    m_channel.reset();
    return ended ? End::Ended : End::LetGo;
}

void CommandThread::finish(const std::shared_ptr<Channel> &channel)
{
    if (channel == m_channel && m_loop)
        m_loop->quit();
}

void CommandThread::serve(const std::shared_ptr<Channel> &channel)
{
    std::function<void()> call;
    {
        const std::lock_guard lock(channel->mutex);
        if (channel->letGo || m_held > 0 || !channel->request || channel->serving || channel->made)
            return;
        channel->serving = true;
        call = channel->request;
    }
    call(); // may open a question, with an event loop of its own
    {
        const std::lock_guard lock(channel->mutex);
        channel->serving = false;
        channel->made = true;
    }
    channel->changed.notify_all();
}

void CommandThread::callSoon()
{
    if (m_channel)
        m_channel->callSoon = true;
}

bool CommandThread::isWaitingForHost() const
{
    if (!m_channel)
        return false;
    const std::lock_guard lock(m_channel->mutex);
    return m_channel->request && !m_channel->made;
}

void CommandThread::hold()
{
    ++m_held;
}

void CommandThread::release()
{
    if (--m_held == 0 && m_channel)
        QMetaObject::invokeMethod(
            this, [this, channel = m_channel] { serve(channel); }, Qt::QueuedConnection);
}

void CommandThread::letGo()
{
    if (!m_channel)
        return;
    {
        const std::lock_guard lock(m_channel->mutex);
        m_channel->letGo = true;
    }
    m_channel->changed.notify_all();
    if (m_loop)
        m_loop->quit();
}

} // namespace varnok
