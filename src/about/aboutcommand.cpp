#include "aboutcommand.h"

namespace varnok {

AboutCommand::~AboutCommand() = default;

void AboutCommand::run() {}

} // namespace varnok
