#pragma once

#include <QtGlobal>

#include <chrono>
#include <functional>

QT_BEGIN_NAMESPACE
class QObject;
QT_END_NAMESPACE

namespace varnok {

// How long the window waits for a volume before it goes on without it. Any volume that answers
// at all answers well within it, so the picker's controls still follow one another within one
// handler; one that does not answer is felt as a hitch, once.
inline constexpr std::chrono::milliseconds answerWait{100};

// Runs work on a thread of its own and waits up to `wait` for it. Returns true when it ended in
// time. Otherwise returns false, and `late` runs in context's thread when the work ends, if it
// ever does and context is still there. The thread is never waited for again: work stuck on a
// volume that does not answer (a share whose server is gone, a stuck FUSE mount) holds its own
// thread, for good, and nothing else. So the work must own what it touches: copies and shared
// pointers, nothing of context's.
bool runOffThread(std::function<void()> work, std::chrono::milliseconds wait, QObject *context,
                  std::function<void()> late);

} // namespace varnok
