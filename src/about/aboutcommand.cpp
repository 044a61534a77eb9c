#include "aboutcommand.h"

#include "frmabout.h"

namespace varnok {

AboutCommand::AboutCommand() = default;

AboutCommand::~AboutCommand() = default;

void AboutCommand::run()
{
    if (!form_)
        form_ = std::make_unique<frmAbout>(aboutPicture());
    form_->Show();
}

} // namespace varnok
