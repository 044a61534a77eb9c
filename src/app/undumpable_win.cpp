#include "undumpable.h"

#include <windows.h>

namespace varnok {

// Windows has no switch that keeps the user's other processes out of this one's memory. What it
// can keep is a crash's memory, password included, from going to Windows Error Reporting; and
// an empty drive in the picker from raising the system's "insert a disk" box.
int makeUndumpable() noexcept
{
    SetErrorMode(SEM_NOGPFAULTERRORBOX | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    return 0;
}

} // namespace varnok
