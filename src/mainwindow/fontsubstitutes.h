#pragma once

namespace varnok {

// The windows are laid out for "MS Sans Serif" and "Palatino Linotype", which Linux systems
// rarely have: maps them onto close free faces. Call once, after the application exists and
// before the first window is built; calling again changes nothing.
void installFontSubstitutes();

} // namespace varnok
