#pragma once

namespace varnok {

// Keeps other processes of the same user from reading this one's memory, where the password
// is, and the system from writing it to a core file, as far as the system allows.
// 0, or the errno of the failure.
int makeUndumpable() noexcept;

} // namespace varnok
