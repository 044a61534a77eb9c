#pragma once

#include <windows.h>

namespace varnok {

// While it lives, the calling thread's file and volume queries fail with an error code instead
// of the system asking the user, in a box, to insert a disk into an empty drive.
class QuietDriveErrors final
{
public:
    QuietDriveErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS, &m_previous); }
    ~QuietDriveErrors() { SetThreadErrorMode(m_previous, nullptr); }
    QuietDriveErrors(const QuietDriveErrors &) = delete;
    QuietDriveErrors &operator=(const QuietDriveErrors &) = delete;

private:
    DWORD m_previous = 0;
};

} // namespace varnok
