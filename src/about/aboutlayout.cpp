#include "aboutlayout.h"

#include "creditscroller.h"

namespace varnok::aboutlayout {

int toPixels(float twips)
{
    return roundHalfEven(double(twips) / twipsPerPixel);
}

QRect toPixels(const TwipRect &twips)
{
    return QRect(toPixels(float(twips.left)), toPixels(float(twips.top)),
                 toPixels(float(twips.width)), toPixels(float(twips.height)));
}

} // namespace varnok::aboutlayout
