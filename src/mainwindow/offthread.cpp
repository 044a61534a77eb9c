#include "offthread.h"

#include <QThread>

#include <condition_variable>
#include <memory>
#include <mutex>

namespace varnok {

namespace {

// A busy machine may take a while to schedule a new thread; only the work can wait on a volume.
// Bounded all the same, for a thread that cannot be started at all.
constexpr std::chrono::seconds startWait{10};

struct Progress
{
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool ended = false;
    bool late = false; // GUI thread only
};

} // namespace

bool runOffThread(std::function<void()> work, std::chrono::milliseconds wait, QObject *context,
                  std::function<void()> late)
{
    auto progress = std::make_shared<Progress>();
    QThread *thread = QThread::create([progress, work = std::move(work)] {
        {
            const std::lock_guard lock(progress->mutex);
            progress->started = true;
        }
        progress->changed.notify_all();
        work();
        {
            const std::lock_guard lock(progress->mutex);
            progress->ended = true;
        }
        progress->changed.notify_all();
    });
    QObject::connect(thread, &QThread::finished, context, [progress, late = std::move(late)] {
        if (progress->late)
            late();
    });
    // Owned by nobody else: a thread that never ends is never destroyed, which Qt would not
    // allow while it runs.
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    std::unique_lock lock(progress->mutex);
    const bool inTime = progress->changed.wait_for(lock, startWait, [&progress] {
        return progress->started;
    }) && progress->changed.wait_for(lock, wait, [&progress] { return progress->ended; });
    progress->late = !inTime;
    return inTime;
}

} // namespace varnok
