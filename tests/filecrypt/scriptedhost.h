#pragma once

#include "commandhost.h"

#include <QStringList>

#include <functional>
#include <thread>
#include <utility>
#include <vector>

// A host that answers from fields set by the test and records everything the commands do to
// it. The hooks let a test interfere at the moments a real user or another program could.
class ScriptedHost final : public varnok::CommandHost
{
public:
    QString password = QStringLiteral("secret");
    QString folder;
    QString name;
    bool replaceAnswer = false;
    bool stop = false; // what stopRequested() answers
    std::function<void()> onConfirm;
    std::function<void(qint64 done, qint64 total)> onProgress;

    QStringList messages;
    QStringList questions;
    QStringList caveats; // one per question
    QStringList pointer; // "busy" and "default", in order
    bool busyDuringQuestion = false;
    std::vector<std::pair<qint64, qint64>> progress;
    bool progressOffThread = false; // a window may only be touched from its own thread

    QString passwordText() override { return password; }
    QString folderPath() override { return folder; }
    QString fileName() override { return name; }
    void showBusyPointer() override { pointer << QStringLiteral("busy"); }
    void showDefaultPointer() override { pointer << QStringLiteral("default"); }
    void showMessage(const QString &text) override
    {
        if (isBusy())
            messages << QStringLiteral("(shown under the busy pointer) ") + text;
        else
            messages << text;
    }
    bool confirmReplace(const QString &path, const QString &caveat) override
    {
        questions << path;
        caveats << caveat;
        busyDuringQuestion = isBusy();
        if (onConfirm)
            onConfirm();
        return replaceAnswer;
    }
    void showProgress(qint64 done, qint64 total) override
    {
        progress.emplace_back(done, total);
        progressOffThread |= std::this_thread::get_id() != m_thread;
        if (onProgress)
            onProgress(done, total);
    }

    bool stopRequested() override { return stop; }

    bool isBusy() const { return !pointer.isEmpty() && pointer.last() == QStringLiteral("busy"); }

    // Busy and default strictly alternate, starting with busy and ending with default.
    bool pointerBalanced() const
    {
        for (qsizetype k = 0; k < pointer.size(); ++k)
            if (pointer[k] != (k % 2 == 0 ? QStringLiteral("busy") : QStringLiteral("default")))
                return false;
        return pointer.size() % 2 == 0;
    }

private:
    std::thread::id m_thread = std::this_thread::get_id();
};
