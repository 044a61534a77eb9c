#include "threadclock.h"

#include <time.h>

namespace varnok {

std::uint64_t threadCpuTicks() noexcept
{
    timespec now{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now) != 0)
        return 0;
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

} // namespace varnok
