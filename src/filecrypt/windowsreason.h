#pragma once

#include <QString>

namespace varnok {

// The system's own words for a Windows error code, in the user's language, without a closing
// full stop: the messages put it inside a sentence of their own.
QString windowsReason(unsigned long error);

} // namespace varnok
