#pragma once

#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace varnok {

// The console program's standard streams, as the system in use has them:
// console_posix.cpp (termios) and console_win.cpp (the console API) implement it; the tests
// supply a scripted one. Everything else of the program is the same on both systems.
class Console
{
public:
    virtual ~Console() = default;

    virtual bool inputIsTerminal() = 0;
    virtual bool errorIsTerminal() = 0;
    // Writes prompt to standard error, then reads the next line of standard input without its
    // line end; nothing at the input's end or on a read error. hidden: on a terminal, what is
    // typed is not shown (the line end neither), from before the prompt shows.
    virtual std::optional<QString> readLine(const QString &prompt, bool hidden) = 0;
    virtual void writeOut(const QString &text) = 0;
    virtual void writeError(const QString &text) = 0;
};

// The console of this process.
std::unique_ptr<Console> systemConsole();

// The command line as the system passes it, names that are not UTF-8 kept byte for byte.
// After the QCoreApplication is made.
QStringList programArguments(int argc, char **argv);

// A line read as bytes: UTF-8 where it is valid UTF-8, else Windows-1252, the code page the
// password keys in, so that a script's password reads the same on both systems.
QString decodeInputLine(QByteArrayView bytes);

} // namespace varnok
