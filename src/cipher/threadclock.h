#pragma once

#include <cstdint>

namespace varnok {

// CPU time the calling thread has used so far, in ticks of a unit fixed for the process
// (nanoseconds on POSIX systems, processor cycles on Windows). Time the thread spends waiting,
// or while other threads have its core, does not count. 0 where the system cannot tell.
std::uint64_t threadCpuTicks() noexcept;

} // namespace varnok
