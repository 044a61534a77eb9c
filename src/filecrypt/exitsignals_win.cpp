#include "exitsignals.h"

namespace varnok {

// Windows has no such signals to catch. A staged file there is deleted by the system when its
// handle closes, which any end of the process does (a logoff, a closed console, a kill).
ExitSignals::ExitSignals(QObject *parent)
    : QObject(parent)
{}

ExitSignals::~ExitSignals() = default;

} // namespace varnok
