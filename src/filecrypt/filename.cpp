#include "filename.h"

#include <QTextBoundaryFinder>

namespace varnok {

namespace {

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

// A wildcard, a separator, a stream's colon, a control character.
bool forbiddenInWindowsNames(char16_t c)
{
    return c < 0x20 || QStringView(u"<>:\"/\\|?*").contains(QChar(c));
}

// Windows reads the superscripts one to three as digits of a port's number too.
bool isPortDigit(char16_t c)
{
    return (c >= u'1' && c <= u'9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
}

bool isDeviceName(QStringView name)
{
    QStringView base = name.first(name.contains(u'.') ? name.indexOf(u'.') : name.size());
    while (base.endsWith(u' '))
        base.chop(1);
    for (const QStringView device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (base.compare(device, Qt::CaseInsensitive) == 0)
            return true;
    }
    return base.size() == 4 && isPortDigit(base[3].unicode()) &&
           (base.first(3).compare(u"COM", Qt::CaseInsensitive) == 0 ||
            base.first(3).compare(u"LPT", Qt::CaseInsensitive) == 0);
}

} // namespace

WindowsNameFault windowsNameFault(QStringView name)
{
    for (const QChar c : name) {
        if (forbiddenInWindowsNames(c.unicode()))
            return {WindowsNameFault::Character, c};
    }
    if (isDeviceName(name))
        return {WindowsNameFault::Device, {}};
    if (name.endsWith(u' ') || name.endsWith(u'.'))
        return {WindowsNameFault::TrailingSpaceOrDot, {}};
    return {};
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
