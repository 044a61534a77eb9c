#pragma once

#include <QtGlobal>

#include <memory>

namespace varnok {

class frmAbout;

// The main window's About command: one About window per run, created on first use and kept,
// shown modeless and without an owner.
class AboutCommand final
{
public:
    AboutCommand();
    ~AboutCommand();
    Q_DISABLE_COPY_MOVE(AboutCommand)

    void run();

    // The About window object, null until the first run.
    frmAbout *form() const { return form_.get(); }

private:
    std::unique_ptr<frmAbout> form_;
};

} // namespace varnok
