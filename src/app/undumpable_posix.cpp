#include "undumpable.h"

#include <cerrno>

#include <sys/prctl.h>

namespace varnok {

int makeUndumpable() noexcept
{
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0 ? 0 : errno;
}

} // namespace varnok
