#pragma once

#include "filedescriptor.h"

#include <QObject>

QT_BEGIN_NAMESPACE
class QSocketNotifier;
QT_END_NAMESPACE

namespace varnok {

// SIGTERM, SIGINT and SIGHUP (a logout, a shutdown, Ctrl+C in the terminal) end the program as
// they always did, but first the staged file of a run under way is removed. The handler only
// passes the signal on through a pipe; the removal happens in the event loop, in whatever
// loop runs then, a question's included. Lives for as long as the program's event loop.
// Windows has none of these signals: there the end of the user's session comes as a message to
// the program's windows, and during a run (see RunUnderWay) it ends the program at once, without
// a question. The system deletes a staged file with its handle however the process ends (outside
// the moment of its commit, which the next run tidies up).
class ExitSignals final : public QObject
{
    Q_OBJECT

public:
    explicit ExitSignals(QObject *parent = nullptr);
    ~ExitSignals() override;
    Q_DISABLE_COPY_MOVE(ExitSignals)

private:
    void endProgram();

    FileDescriptor m_readEnd;
    FileDescriptor m_writeEnd;
    QSocketNotifier *m_notifier = nullptr;
};

// Marks a run under way for as long as it lives. On Windows a log-off or shutdown then waits for
// the user's word, with what (say "Encrypting big.bin") in the system's list of what stands in
// its way. On Linux the session's end comes as a signal (above) and this does nothing.
class RunUnderWay final
{
public:
    explicit RunUnderWay(const QString &what);
    ~RunUnderWay();
    Q_DISABLE_COPY_MOVE(RunUnderWay)
};

} // namespace varnok
