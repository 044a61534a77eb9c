#include "filename.h"

#include "codepage1252.h"

#include <QTextBoundaryFinder>

#include <algorithm>

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

constexpr char16_t firstStrongIsolate = 0x2068;
constexpr char16_t popDirectionalIsolate = 0x2069;

bool opensIsolate(char16_t c)
{
    return c >= 0x2066 && c <= 0x2068; // LRI, RLI, FSI
}

// A visible stand-in for a character that would otherwise act on the text around it, or 0 for
// one that shows as itself.
char16_t visibleSymbol(char16_t c)
{
    if (c < 0x20)
        return char16_t(0x2400 + c); // the control pictures block: NUL as U+2400, LF as U+240A
    if (c == 0x7F)
        return 0x2421; // DELETE
    if (c == 0x85 || c == 0x2028 || c == 0x2029)
        return 0x2424; // next line, line and paragraph separators: NEWLINE
    if (c >= 0x80 && c < 0xA0)
        return 0xFFFD; // the other C1 controls
    return 0;
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

QString displayedFileName(const QString &name, NamePlace place)
{
    const QString readable = readableFileName(name);
    const bool isolated = place == NamePlace::InText;
    QString shown;
    shown.reserve(readable.size() + 2);
    if (isolated)
        shown += QChar(firstStrongIsolate);
    int openIsolates = 0;
    for (const QChar c : readable) {
        const char16_t code = c.unicode();
        if (const char16_t symbol = visibleSymbol(code)) {
            shown += QChar(symbol);
        } else if (isolated && code == popDirectionalIsolate && openIsolates == 0) {
            shown += QChar(0xFFFD); // would close the isolate around the name
        } else {
            openIsolates += opensIsolate(code) ? 1 : code == popDirectionalIsolate ? -1 : 0;
            shown += c;
        }
    }
    if (isolated)
        shown += QString(openIsolates + 1, QChar(popDirectionalIsolate));
    return shown;
}

QString lastPathPart(const QString &path)
{
    return path.sliced(path.lastIndexOf(QLatin1Char('/')) + 1);
}

std::optional<QString> withoutLastCharacters(const QString &name, int count)
{
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, name);
    characters.toEnd();
    for (int k = 0; k < count; ++k) {
        if (characters.toPreviousBoundary() <= 0)
            return std::nullopt;
    }
    return name.first(characters.position());
}

} // namespace varnok
