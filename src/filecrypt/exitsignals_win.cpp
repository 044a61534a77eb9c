#include "exitsignals.h"

#include <QAbstractNativeEventFilter>
#include <QCoreApplication>

#include <algorithm>
#include <mutex>
#include <vector>

#include <windows.h>

namespace varnok {

namespace {

// The run under way, and the windows that told Windows about it. A run may go on off the
// windows' thread, so all of it is guarded.
struct RunState
{
    std::mutex mutex;
    int runs = 0;
    QString what;
    std::vector<HWND> blocking;
};

RunState &runState()
{
    static RunState state;
    return state;
}

// Only a window's own thread may withdraw its reason; the rest wait for the next query there.
void withdrawReasons(std::vector<HWND> &windows)
{
    std::erase_if(windows, [](HWND window) {
        return ::ShutdownBlockReasonDestroy(window) || !::IsWindow(window);
    });
}

// Windows asks every top-level window before it ends the user's session, and then tells them
// whether it does. During a run the answer is "not yet", with the run in Windows' list of what
// stands in the way. If the session ends nonetheless, the program ends at once: the system
// deletes the staged file with its handle, the old output stays as it was, and no window is
// asked to close, which would only ask whether to stop the run. Without a run, Qt answers.
class SessionEnd final : public QObject, public QAbstractNativeEventFilter
{
public:
    explicit SessionEnd(QObject *parent)
        : QObject(parent)
    {
        QCoreApplication::instance()->installNativeEventFilter(this);
    }

    bool nativeEventFilter(const QByteArray &type, void *message, qintptr *result) override
    {
        Q_UNUSED(type);
        const auto *msg = static_cast<const MSG *>(message);
        if (msg->message != WM_QUERYENDSESSION && msg->message != WM_ENDSESSION)
            return false;
        RunState &state = runState();
        const std::lock_guard lock(state.mutex);
        if (state.runs == 0) {
            withdrawReasons(state.blocking);
            return false;
        }
        if (msg->message == WM_ENDSESSION) {
            if (msg->wParam == FALSE)
                return false; // the session goes on, and so does the run
            ::TerminateProcess(::GetCurrentProcess(), 0);
        }
        const auto *reason = reinterpret_cast<const wchar_t *>(state.what.utf16());
        if (::ShutdownBlockReasonCreate(msg->hwnd, reason) &&
            std::find(state.blocking.begin(), state.blocking.end(), msg->hwnd) ==
                state.blocking.end())
            state.blocking.push_back(msg->hwnd);
        *result = FALSE;
        return true;
    }
};

} // namespace

ExitSignals::ExitSignals(QObject *parent)
    : QObject(parent)
{
    if (QCoreApplication::instance())
        new SessionEnd(this);
}

ExitSignals::~ExitSignals() = default;

RunUnderWay::RunUnderWay(const QString &what)
{
    RunState &state = runState();
    const std::lock_guard lock(state.mutex);
    ++state.runs;
    state.what = what;
}

RunUnderWay::~RunUnderWay()
{
    RunState &state = runState();
    const std::lock_guard lock(state.mutex);
    if (--state.runs == 0)
        withdrawReasons(state.blocking);
}

} // namespace varnok
