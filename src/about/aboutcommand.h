#pragma once

#include <QtGlobal>

namespace varnok {

// The main window's About command: one About window per run, created on first use and kept,
// shown modeless and without an owner.
class AboutCommand final
{
public:
    AboutCommand() = default;
    ~AboutCommand();
    Q_DISABLE_COPY_MOVE(AboutCommand)

    void run();
};

} // namespace varnok
