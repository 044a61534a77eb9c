#pragma once

#include <QList>
#include <QString>
#include <QStringView>

namespace varnok {

// A file-name pattern as typed into the pattern box: '*' stands for any run of characters, '?'
// for one; letter case is ignored; ';' separates alternatives ("*.txt;*.doc"). As on the
// desktop the program comes from, "name.*" also matches "name" without any dot (so "*.*" matches
// every file) and a trailing dot asks for names without a dot ("*." lists the files that have
// no extension). A text without any pattern in it matches every name.
class FilePattern final
{
public:
    explicit FilePattern(const QString &text);

    bool matches(QStringView name) const;
    // True when every name matches, so a caller can skip asking name by name.
    bool matchesEverything() const { return m_matchesEverything; }

private:
    struct Alternative
    {
        QString glob;      // case-folded
        bool dotOptional;  // "x.*": the ".*" may also be missing
        bool noDotAllowed; // "x.": the name must not contain a dot
    };

    static bool alternativeMatches(const Alternative &alternative, QStringView name, bool hasDot);
    static bool globMatches(QStringView foldedGlob, QStringView name);

    QList<Alternative> m_alternatives;
    bool m_matchesEverything = false;
};

} // namespace varnok
