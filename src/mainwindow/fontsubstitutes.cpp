#include "fontsubstitutes.h"

#include <QFont>
#include <QStringList>

namespace varnok {

void installFontSubstitutes()
{
    // The first face present wins. URW's Helvetica and Palatino clones (fonts-urw-base35) come
    // closest in width, which matters in labels of fixed size; DejaVu is the last resort that
    // every set-up installs. Wine's Tahoma would be nearer still, but its bold is barely bolder
    // than its regular.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Nimbus Sans"), QStringLiteral("Liberation Sans"),
                                QStringLiteral("Arial"), QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Palatino Linotype"),
                               {QStringLiteral("P052"), QStringLiteral("Palatino"),
                                QStringLiteral("TeX Gyre Pagella"),
                                QStringLiteral("DejaVu Serif")});
}

} // namespace varnok
