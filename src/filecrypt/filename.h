#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

namespace varnok {

// File names on Linux are bytes, usually but not always UTF-8: archives from old Windows
// systems bring Latin-1 or code page 437 names. These functions carry such names through
// QString without losing a byte, so that the file the user clicked is the file that is opened.
//
// Valid UTF-8 decodes as usual. Each byte that is not part of a valid UTF-8 sequence becomes
// the lone low surrogate U+DC00 + byte, which no valid UTF-8 name decodes to, and encodes back
// to that byte.
//
// Windows keeps names in UTF-16, which QString holds as they are: there these only convert
// UTF-8, for what carries a name as bytes (a URL), and no name has bytes to escape or to read.
QString decodeFileName(QByteArrayView bytes);
QByteArray encodeFileName(QStringView name);

// The name for showing to the user: each undecodable byte read as its Windows-1252 character,
// the likeliest origin of such names. Not for naming files: two names can show alike.
QString readableFileName(const QString &name);

// The name for showing to the user, readable as above and inert: control characters, line breaks
// included, show as visible symbols. Inside a text it is also wrapped in a bidirectional isolate
// (U+2068 ... U+2069) with its own isolates balanced, so that a right-to-left override in it
// reverses at most the name itself; a list row is a paragraph of its own and needs none. Still
// plain text: show it with Qt::PlainText, or escaped where the surrounding text is rich.
enum class NamePlace { InText, OnItsOwn };
QString displayedFileName(const QString &name, NamePlace place = NamePlace::InText);

// The last part of a path, the name of the entry it leads to (empty for a path ending in "/").
// String work only: QFileInfo would turn a name that is not UTF-8 into another one.
QString lastPathPart(const QString &path);

// What keeps name from naming a file of its own on Windows. Windows takes a name up to its
// first dot, less trailing spaces, for a device (NUL, com1.txt, "Aux .tar.gz"), drops a space or
// dot at a name's end (so "report." opens "report"), and refuses a few characters outright. Its
// literal path form skips the first two rules and makes such files, which Explorer can hardly
// open or remove: whoever uses that form keeps to the rules itself.
struct WindowsNameFault
{
    enum Kind { None, Device, TrailingSpaceOrDot, Character };
    Kind kind = None;
    QChar character; // for Character: the first one Windows does not allow
};
WindowsNameFault windowsNameFault(QStringView name);

// name without its last count characters as the user sees them (a base letter with its
// combining marks, an emoji with its modifiers, an undecodable byte: one each). Nothing when
// name has no more than count characters.
std::optional<QString> withoutLastCharacters(const QString &name, int count);

} // namespace varnok
