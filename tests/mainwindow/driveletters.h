#pragma once

// Drive letters for the window suites' Windows rows.

#include <QString>

#ifdef Q_OS_WIN
#include <windows.h>

// The first letter from D: that no drive has, as "X:/"; empty when all are taken.
inline QString freeDriveLetter()
{
    const DWORD used = GetLogicalDrives();
    for (char letter = 'D'; letter <= 'Y'; ++letter) {
        if ((used & (1u << (letter - 'A'))) == 0)
            return QStringLiteral("%1:/").arg(QLatin1Char(letter));
    }
    return {};
}
#endif
