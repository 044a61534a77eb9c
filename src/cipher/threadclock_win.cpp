#include "threadclock.h"

#include <windows.h>

namespace varnok {

// Cycles rather than GetThreadTimes, whose figures move in steps of a scheduler tick (15.6 ms),
// far coarser than the slices the kernel chooser times.
std::uint64_t threadCpuTicks() noexcept
{
    ULONG64 cycles = 0;
    if (!QueryThreadCycleTime(GetCurrentThread(), &cycles))
        return 0;
    return cycles;
}

} // namespace varnok
