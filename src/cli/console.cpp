#include "console.h"

#include "codepage1252.h"

namespace varnok {

QString decodeInputLine(QByteArrayView bytes)
{
    if (bytes.endsWith('\r')) // a line end written on Windows
        bytes.chop(1);
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString text(bytes.size(), Qt::Uninitialized);
    for (qsizetype k = 0; k < bytes.size(); ++k)
        text[k] = QChar(fromWindows1252(std::uint8_t(bytes[k])));
    return text;
}

} // namespace varnok
