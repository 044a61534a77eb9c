#pragma once

#include <QString>
#include <QtGlobal>

namespace varnok {

// What the Encrypt and Decrypt commands need from whoever runs them: the main window in the
// program, a scripted stand-in in the tests.
class CommandHost
{
public:
    virtual ~CommandHost() = default;

    virtual QString passwordText() = 0;
    virtual QString folderPath() = 0;
    virtual QString fileName() = 0;
    virtual void showBusyPointer() = 0;
    virtual void showDefaultPointer() = 0;
    virtual void showMessage(const QString &text) = 0;
    // Yes/No question, No by default: may the existing file at path be replaced? caveat says
    // what the new file cannot keep of the old one (its owner, say); empty when it keeps all.
    virtual bool confirmReplace(const QString &path, const QString &caveat) = 0;
    // Called between blocks of a run with the bytes done so far; lets a window keep painting
    // and show how far a long run has got.
    virtual void showProgress(qint64 done, qint64 total)
    {
        Q_UNUSED(done);
        Q_UNUSED(total);
    }
    // Asked after every block: true ends the run there, leaving no trace and showing no
    // message, as the user asked for it.
    virtual bool stopRequested() { return false; }
};

} // namespace varnok
