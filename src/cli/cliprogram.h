#pragma once

#include <QStringList>

namespace varnok {

class Console;

// The whole console program on the given command line (the program's name first): parses
// it, takes the password and runs the command on each file in turn, each on its own, and
// closes with a count. Returns the exit status: 0 when every file succeeded, 1 when any
// failed, 2 for a usage error.
int runCli(Console &console, const QStringList &arguments);

} // namespace varnok
