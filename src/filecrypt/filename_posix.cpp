#include "filename.h"

#include "codepage1252.h"

#include <algorithm>

// Names as Linux keeps them: bytes, carried through QString without losing one.

namespace varnok {

namespace {

constexpr char16_t escapeBase = 0xDC00;

// Length of the valid UTF-8 sequence that bytes starts with, or 0 when it starts with none.
// Overlong forms, surrogates and code points past U+10FFFF are not valid.
qsizetype validSequenceLength(QByteArrayView bytes)
{
    const auto lead = uchar(bytes.front());
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    uchar low = 0x80; // range of the second byte, narrower for some lead bytes
    uchar high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (bytes.size() < length || uchar(bytes[1]) < low || uchar(bytes[1]) > high)
        return 0;
    const bool continued = std::all_of(bytes.begin() + 2, bytes.begin() + length,
                                       [](char c) { return (uchar(c) & 0xC0) == 0x80; });
    return continued ? length : 0;
}

// The byte at position k of name when it stands for an undecodable byte, else nothing. A low
// surrogate right after a high one is half of a valid pair, not an escape.
std::optional<uchar> escapedByte(QStringView name, qsizetype k)
{
    const char16_t c = name[k].unicode();
    if (c < escapeBase + 0x80 || c > escapeBase + 0xFF)
        return std::nullopt;
    if (k > 0 && name[k - 1].isHighSurrogate())
        return std::nullopt;
    return uchar(c - escapeBase);
}

} // namespace

QString decodeFileName(QByteArrayView bytes)
{
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString name;
    name.reserve(bytes.size());
    while (!bytes.isEmpty()) {
        const qsizetype length = validSequenceLength(bytes);
        if (length > 0)
            name += QString::fromUtf8(bytes.first(length));
        else
            name += QChar(escapeBase + uchar(bytes.front()));
        bytes = bytes.sliced(std::max<qsizetype>(length, 1));
    }
    return name;
}

QByteArray encodeFileName(QStringView name)
{
    QByteArray bytes;
    qsizetype start = 0;
    for (qsizetype k = 0; k < name.size(); ++k) {
        if (const auto byte = escapedByte(name, k)) {
            bytes += name.sliced(start, k - start).toUtf8();
            bytes += char(*byte);
            start = k + 1;
        }
    }
    if (start == 0)
        return name.toUtf8();
    return bytes + name.sliced(start).toUtf8();
}

QString readableFileName(const QString &name)
{
    QString shown = name; // shared, and only copied where a byte is to be shown
    for (qsizetype k = 0; k < name.size(); ++k) {
        if (const auto byte = escapedByte(name, k))
            shown[k] = QChar(fromWindows1252(*byte));
    }
    return shown;
}

} // namespace varnok
