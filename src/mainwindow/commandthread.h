#pragma once

#include "commandhost.h"
#include "filecommands.h"

#include <QObject>

#include <memory>

QT_BEGIN_NAMESPACE
class QEventLoop;
QT_END_NAMESPACE

namespace varnok {

// Runs the window's Encrypt and Decrypt on a thread of their own, so that a drive that does not
// answer holds up the run, never the window: opening, checking and writing all wait there. Each
// run keys a cipher state of its own. Every call the command makes to its host is carried over
// to this object's thread and made there, on the host given here, while the command waits for
// the answer; between such calls this thread handles its events as usual.
class CommandThread final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CommandThread)

public:
    using Command = void (FileCommands::*)() noexcept;
    enum class End { Ended, LetGo };

    explicit CommandThread(CommandHost &host, QObject *parent = nullptr);
    // Lets go of a run still under way.
    ~CommandThread() override;

    // Runs command; returns once it has ended, or once it was let go (letGo(), or the
    // application quitting), handling this thread's events meanwhile in a local event loop.
    End run(Command command);
    // Makes the run report its progress at its next block rather than at its next report: for
    // a question the host asks there.
    void callSoon();
    // Whether the run waits for the host (a call of its under way or held back) rather than
    // for the system.
    bool isWaitingForHost() const;
    // Holds back the run's calls to the host until release(): the run pauses at its next one.
    void hold();
    void release();
    // Stops serving the run under way: run() returns, and the run goes on alone, told to stop,
    // its questions answered No, its messages and reports dropped.
    void letGo();

private:
    struct Channel;
    class WorkerHost;

    void serve(const std::shared_ptr<Channel> &channel);
    void finish(const std::shared_ptr<Channel> &channel);

    CommandHost &m_host;
    std::shared_ptr<Channel> m_channel; // the run under way
    QEventLoop *m_loop = nullptr;
    int m_held = 0;
};

} // namespace varnok
