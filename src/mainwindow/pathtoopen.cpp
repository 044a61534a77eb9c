#include "pathtoopen.h"

#include "filename.h"

#include <QCoreApplication>
#include <QDir>

namespace varnok {

// The path as it was given (the user knows where they started from), in the system's
// separators, readable and inert.
PathToOpen unusablePath(const QString &path, const QString &reason)
{
    return {{},
            {},
            QCoreApplication::translate("varnok::PathToOpen", "Could not open %1: %2")
                .arg(displayedFileName(QDir::toNativeSeparators(path)), reason)};
}

} // namespace varnok
