#include "filename.h"

// Names as Windows keeps them: UTF-16, the very units of a QString.

namespace varnok {

QString decodeFileName(QByteArrayView bytes)
{
    return QString::fromUtf8(bytes);
}

QByteArray encodeFileName(QStringView name)
{
    return name.toUtf8();
}

QString readableFileName(const QString &name)
{
    return name;
}

} // namespace varnok
