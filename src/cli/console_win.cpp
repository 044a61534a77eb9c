#include "console.h"

#include "rc4.h"

#include <QCoreApplication>

#include <array>

#include <windows.h>

namespace varnok {

namespace {

// A password is at most 16 characters; a longer line is refused whole, so it is not read on.
constexpr qsizetype longestLine = 4096;

bool isConsole(HANDLE handle)
{
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

HANDLE hiddenInput = nullptr;
DWORD shownInputMode = 0;

// Ctrl+C or a closed console window ends the program (the system's own handler comes next);
// echo goes back on first, as the console stays with the user.
BOOL WINAPI restoreEcho(DWORD)
{
    ::SetConsoleMode(hiddenInput, shownInputMode);
    return FALSE;
}

// Echo off for as long as it lives, and back on at any end, Ctrl+C's included.
class HiddenInput final
{
public:
    explicit HiddenInput(HANDLE input)
    {
        if (!::GetConsoleMode(input, &shownInputMode))
            return;
        hiddenInput = input;
        ::SetConsoleCtrlHandler(restoreEcho, TRUE);
        m_active = ::SetConsoleMode(input, shownInputMode & ~DWORD(ENABLE_ECHO_INPUT));
    }
    ~HiddenInput()
    {
        if (!hiddenInput)
            return;
        if (m_active)
            ::SetConsoleMode(hiddenInput, shownInputMode);
        ::SetConsoleCtrlHandler(restoreEcho, FALSE);
        hiddenInput = nullptr;
    }
    Q_DISABLE_COPY_MOVE(HiddenInput)

private:
    bool m_active = false;
};

std::optional<QString> readConsoleLine(HANDLE input)
{
    QString line;
    line.reserve(longestLine); // never moved, so no copy of a password is left behind
    std::array<wchar_t, 256> buffer{};
    while (!line.endsWith(u'\n') && line.size() + qsizetype(buffer.size()) <= longestLine) {
        DWORD got = 0;
        if (!::ReadConsoleW(input, buffer.data(), DWORD(buffer.size()), &got, nullptr) || got == 0)
            break;
        line.append(reinterpret_cast<const QChar *>(buffer.data()), qsizetype(got));
    }
    secureZero(buffer.data(), sizeof buffer);
    if (line.isEmpty())
        return std::nullopt;
    while (line.endsWith(u'\n') || line.endsWith(u'\r'))
        line.chop(1);
    return line;
}

std::optional<QString> readFileLine(HANDLE input)
{
    QByteArray line;
    line.reserve(longestLine);
    char c = 0;
    DWORD got = 0;
    bool ended = false;
    while (line.size() < longestLine && ::ReadFile(input, &c, 1, &got, nullptr) && got == 1) {
        if ((ended = c == '\n'))
            break;
        line += c;
    }
    if (line.isEmpty() && !ended)
        return std::nullopt;
    QString text = decodeInputLine(line);
    secureZero(line.data(), std::size_t(line.size()));
    return text;
}

// On a console as text, which shows every character whatever the console's code page;
// redirected as UTF-8, as the Linux build writes it.
void writeTo(DWORD which, const QString &text)
{
    const HANDLE handle = ::GetStdHandle(which);
    const bool console = isConsole(handle);
    const QByteArray bytes = console ? QByteArray() : text.toUtf8();
    const qsizetype size = console ? text.size() : bytes.size();
    for (qsizetype done = 0; done < size;) {
        DWORD written = 0;
        const DWORD left = DWORD(size - done);
        const bool ok =
            console ? ::WriteConsoleW(handle, text.utf16() + done, left, &written, nullptr)
                    : ::WriteFile(handle, bytes.constData() + done, left, &written, nullptr);
        if (!ok || written == 0)
            return; // nowhere left to say anything
        done += written;
    }
}

class WindowsConsole final : public Console
{
public:
    bool inputIsTerminal() override { return isConsole(::GetStdHandle(STD_INPUT_HANDLE)); }
    bool errorIsTerminal() override { return isConsole(::GetStdHandle(STD_ERROR_HANDLE)); }

    std::optional<QString> readLine(const QString &prompt, bool hidden) override
    {
        const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
        std::optional<HiddenInput> echoOff;
        if (hidden && isConsole(input))
            echoOff.emplace(input);
        writeError(prompt);
        return isConsole(input) ? readConsoleLine(input) : readFileLine(input);
    }

    void writeOut(const QString &text) override { writeTo(STD_OUTPUT_HANDLE, text); }
    void writeError(const QString &text) override { writeTo(STD_ERROR_HANDLE, text); }
};

} // namespace

std::unique_ptr<Console> systemConsole()
{
    return std::make_unique<WindowsConsole>();
}

// Windows passes the command line as UTF-16, which Qt reads; argv holds a lossy copy.
QStringList programArguments(int, char **)
{
    return QCoreApplication::arguments();
}

} // namespace varnok
