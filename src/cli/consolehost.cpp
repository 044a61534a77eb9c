#include "consolehost.h"

#include "console.h"
#include "filecommands.h"
#include "platformfiles.h"
#include "rc4.h"

#include <QDir>

#include <algorithm>

namespace varnok {

namespace {

const QString messagePrefix = QStringLiteral("varnok-cli: ");
// The progress line waits this long, so that small files pass without one, and changes at
// most this often.
constexpr qint64 progressDelayMs = 300;
constexpr qint64 progressIntervalMs = 200;

void wipe(QString &text)
{
    text.detach();
    secureZero(text.data(), std::size_t(text.size()) * sizeof(QChar));
    text.clear();
}

qsizetype characterCount(const QString &text)
{
    return text.size() -
           std::count_if(text.begin(), text.end(), [](QChar c) { return c.isLowSurrogate(); });
}

} // namespace

ConsoleHost::ConsoleHost(Console &console, bool force)
    : m_console(console)
    , m_force(force)
{}

ConsoleHost::~ConsoleHost()
{
    wipe(m_password);
}

std::optional<QString> ConsoleHost::askPassword(const QString &prompt)
{
    std::optional<QString> typed = m_console.readLine(prompt, true);
    m_console.writeError(QStringLiteral("\n")); // the Enter key, which was not shown
    return typed;
}

std::optional<QString> ConsoleHost::takePassword(bool confirm)
{
    wipe(m_password);
    if (!m_console.inputIsTerminal()) {
        m_password = m_console.readLine({}, false).value_or(QString());
    } else {
        m_password = askPassword(tr("Password: ")).value_or(QString());
        if (confirm && !m_password.isEmpty()) {
            QString again = askPassword(tr("Password again: ")).value_or(QString());
            const bool same = again == m_password;
            wipe(again);
            if (!same)
                return tr("The passwords do not match.");
        }
    }
    // The window's box takes no more; what it says beside the box is the rule.
    if (characterCount(m_password) > maxPasswordLength)
        return QStringLiteral("Maxlength 16 characters");
    return FileCommands::passwordRefusal(m_password);
}

bool ConsoleHost::run(FileCommands &commands, bool encrypt, const QString &path)
{
    // The folder as given (or the current one), so that messages name the file as typed.
    const QString given = QDir::fromNativeSeparators(path);
    const qsizetype slash = given.lastIndexOf(u'/');
    m_folder = slash < 0    ? QStringLiteral(".")
               : slash == 0 ? QStringLiteral("/")
                            : given.first(slash);
    m_name = given.sliced(slash + 1);
    m_failed = false;
    if (encrypt)
        commands.encrypt();
    else
        commands.decrypt();
    clearProgress();
    if (m_failed)
        return false;
    const QString input = m_folder + u'/' + m_name;
    const QString output = encrypt ? commands.curFile + QStringLiteral(".enc") : commands.curFile;
    m_console.writeOut(tr("%1 -> %2\n").arg(shownPath(input), shownPath(output)));
    return true;
}

void ConsoleHost::say(const QString &text)
{
    m_console.writeError(messagePrefix + text + u'\n');
}

void ConsoleHost::showBusyPointer()
{
    m_runClock.start();
    m_progressShownAt = 0;
}

void ConsoleHost::showDefaultPointer()
{
    clearProgress();
}

void ConsoleHost::showMessage(const QString &text)
{
    clearProgress();
    m_failed = true;
    say(text);
}

// A wrong password gives wrong bytes without a word, so an existing file is replaced only when
// someone at the terminal says so, or the command line did.
bool ConsoleHost::confirmReplace(const QString &path, const QString &caveat)
{
    const QString shown = shownPath(path);
    if (!caveat.isEmpty())
        say(tr("%1 already exists. %2").arg(shown, caveat));
    if (m_force)
        return true;
    m_failed = true;
    if (!m_console.inputIsTerminal()) {
        say(tr("%1 already exists and was kept: without a terminal to ask on, only --force "
               "replaces it.")
                .arg(shown));
        return false;
    }
    const QString answer =
        m_console.readLine(messagePrefix + tr("Replace %1? [y/N] ").arg(shown), false)
            .value_or(QString())
            .trimmed()
            .toLower();
    m_failed = answer != QLatin1String("y") && answer != QLatin1String("yes");
    if (m_failed)
        say(tr("%1 was kept.").arg(shown));
    return !m_failed;
}

void ConsoleHost::showProgress(qint64 done, qint64 total)
{
    // Lets the signals that end the program (ExitSignals) act between blocks.
    QCoreApplication::processEvents();
    const qint64 now = m_runClock.isValid() ? m_runClock.elapsed() : 0;
    if (now < progressDelayMs || now - m_progressShownAt < progressIntervalMs || total <= 0 ||
        !m_console.errorIsTerminal())
        return;
    m_progressShownAt = now;
    const double mibPerSecond = double(done) / (1 << 20) / (double(now) / 1000);
    QString line = tr("%1%  %2 MiB/s").arg(done * 100 / total).arg(mibPerSecond, 0, 'f', 1);
    const qsizetype width = line.size();
    line += QString(std::max<qsizetype>(m_progressWidth - width, 0), u' ');
    m_progressWidth = width;
    m_console.writeError(u'\r' + line);
}

void ConsoleHost::clearProgress()
{
    if (m_progressWidth == 0)
        return;
    m_console.writeError(u'\r' + QString(m_progressWidth, u' ') + u'\r');
    m_progressWidth = 0;
}

} // namespace varnok
