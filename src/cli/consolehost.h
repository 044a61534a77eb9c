#pragma once

#include "commandhost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QString>

#include <optional>

namespace varnok {

class Console;
class FileCommands;

// Runs the Encrypt and Decrypt commands for the console program: the password and the
// answers come from standard input, messages go to standard error after "varnok-cli: ", and
// a progress line shows there while it is a terminal.
class ConsoleHost final : public CommandHost
{
    Q_DECLARE_TR_FUNCTIONS(ConsoleHost)

public:
    // force: an output that exists is replaced without a question.
    ConsoleHost(Console &console, bool force);
    ~ConsoleHost() override;
    Q_DISABLE_COPY_MOVE(ConsoleHost)

    // Asks for the password on a terminal, twice when confirm is set, or reads the first line
    // of standard input. The message to show when it cannot be used, else nothing.
    std::optional<QString> takePassword(bool confirm);
    // Runs the command on the file at path and says how it went; whether it wrote its output.
    bool run(FileCommands &commands, bool encrypt, const QString &path);
    void say(const QString &text);

    QString passwordText() override { return m_password; }
    QString folderPath() override { return m_folder; }
    QString fileName() override { return m_name; }
    void showBusyPointer() override;
    void showDefaultPointer() override;
    void showMessage(const QString &text) override;
    bool confirmReplace(const QString &path, const QString &caveat) override;
    void showProgress(qint64 done, qint64 total) override;

    // The longest password the window's box takes.
    static constexpr qsizetype maxPasswordLength = 16;

private:
    std::optional<QString> askPassword(const QString &prompt);
    void clearProgress();

    Console &m_console;
    const bool m_force;
    QString m_password;
    QString m_folder;
    QString m_name;
    bool m_failed = false;
    QElapsedTimer m_runClock;
    qint64 m_progressShownAt = 0;
    qsizetype m_progressWidth = 0;
};

} // namespace varnok
