#include "filepattern.h"

#include <QStringList>

#include <algorithm>

namespace varnok {

namespace {

// Folding character by character keeps matching free of allocations: the file list asks once
// per name on every keystroke.
char16_t folded(QChar c)
{
    const char16_t code = c.unicode();
    if (code < 0x80)
        return code >= u'A' && code <= u'Z' ? char16_t(code + (u'a' - u'A')) : code;
    return c.toCaseFolded().unicode();
}

bool isAllStars(QStringView glob)
{
    return !glob.isEmpty() &&
           std::all_of(glob.begin(), glob.end(), [](QChar c) { return c == QLatin1Char('*'); });
}

} // namespace

FilePattern::FilePattern(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString glob = part.trimmed().toCaseFolded();
        if (glob.isEmpty())
            continue;
        Alternative alternative{glob, false, false};
        if (glob.endsWith(QLatin1String(".*"))) {
            alternative.dotOptional = true;
        } else if (glob.endsWith(QLatin1Char('.')) && glob != QLatin1String(".")) {
            alternative.noDotAllowed = true;
            alternative.glob.chop(1);
        }
        const QStringView rest = alternative.dotOptional ? QStringView(glob).chopped(2) : glob;
        if (!alternative.noDotAllowed && isAllStars(rest))
            m_matchesEverything = true;
        m_alternatives.append(alternative);
    }
    if (m_alternatives.isEmpty())
        m_matchesEverything = true;
}

bool FilePattern::matches(QStringView name) const
{
    if (m_matchesEverything)
        return true;
    const bool hasDot = name.contains(QLatin1Char('.'));
    for (const Alternative &alternative : m_alternatives) {
        if (alternativeMatches(alternative, name, hasDot))
            return true;
    }
    return false;
}

bool FilePattern::alternativeMatches(const Alternative &alternative, QStringView name, bool hasDot)
{
    if (alternative.noDotAllowed)
        return !hasDot && globMatches(alternative.glob, name);
    if (globMatches(alternative.glob, name))
        return true;
    return alternative.dotOptional && globMatches(QStringView(alternative.glob).chopped(2), name);
}

// Iterative wildcard matching with a single backtrack point: linear in practice, and no
// recursion that a long run of '*' could blow up.
bool FilePattern::globMatches(QStringView foldedGlob, QStringView name)
{
    qsizetype g = 0, n = 0;
    qsizetype starAt = -1, resumeAt = 0;
    while (n < name.size()) {
        const QChar want = g < foldedGlob.size() ? foldedGlob[g] : QChar();
        if (g < foldedGlob.size() && want == QLatin1Char('*')) {
            starAt = g++;
            resumeAt = n;
        } else if (g < foldedGlob.size() &&
                   (want == QLatin1Char('?') || want.unicode() == folded(name[n]))) {
            ++g;
            ++n;
        } else if (starAt >= 0) {
            g = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (g < foldedGlob.size() && foldedGlob[g] == QLatin1Char('*'))
        ++g;
    return g == foldedGlob.size();
}

} // namespace varnok
