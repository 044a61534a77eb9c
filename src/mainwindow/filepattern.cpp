#include "filepattern.h"

namespace varnok {

FilePattern::FilePattern(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        QString glob = part.trimmed().toCaseFolded();
        if (glob.isEmpty())
            continue;
        Alternative alternative{glob, false, false};
        if (glob.endsWith(QLatin1String(".*"))) {
            alternative.dotOptional = true;
        } else if (glob.endsWith(QLatin1Char('.')) && glob != QLatin1String(".")) {
            alternative.noDotAllowed = true;
            alternative.glob.chop(1);
        }
        m_alternatives.append(alternative);
    }
}

bool FilePattern::matches(QStringView name) const
{
    if (m_alternatives.isEmpty())
        return true;
    // Folding once per name keeps the matcher a plain character comparison.
    const QString folded = name.toString().toCaseFolded();
    const bool hasDot = folded.contains(QLatin1Char('.'));
    for (const Alternative &alternative : m_alternatives) {
        if (alternativeMatches(alternative, folded, hasDot))
            return true;
    }
    return false;
}

bool FilePattern::alternativeMatches(const Alternative &alternative, QStringView foldedName,
                                     bool hasDot) const
{
    if (alternative.noDotAllowed)
        return !hasDot && globMatches(alternative.glob, foldedName);
    if (globMatches(alternative.glob, foldedName))
        return true;
    return alternative.dotOptional &&
           globMatches(QStringView(alternative.glob).chopped(2), foldedName);
}

// Iterative wildcard matching with a single backtrack point: linear in practice, and no
// recursion a long run of '*' could blow up.
bool FilePattern::globMatches(QStringView glob, QStringView foldedName)
{
    qsizetype g = 0, n = 0;
    qsizetype starAt = -1, resumeAt = 0;
    while (n < foldedName.size()) {
        if (g < glob.size() && (glob[g] == QLatin1Char('?') || glob[g] == foldedName[n])) {
            ++g;
            ++n;
        } else if (g < glob.size() && glob[g] == QLatin1Char('*')) {
            starAt = g++;
            resumeAt = n;
        } else if (starAt >= 0) {
            g = starAt + 1;
            n = ++resumeAt;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == QLatin1Char('*'))
        ++g;
    return g == glob.size();
}

} // namespace varnok
