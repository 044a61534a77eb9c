#pragma once

#include <QRect>

namespace varnok::aboutlayout {

// The About window is laid out in twips, 15 to the pixel at 96 dots per inch; the window
// converts to pixels at load.
constexpr int twipsPerPixel = 15;

struct TwipRect
{
    int left;
    int top;
    int width;
    int height;
};

// The visible picture, which the window takes the size of.
constexpr TwipRect picOut{0, 0, 6000, 4500};
// The "X" button, inside picOut.
constexpr TwipRect Command1{5640, 120, 255, 255};
// The band the credits scroll through, inside picOut; an off-screen surface holds its background.
constexpr TwipRect picBackBuffer{120, 2610, 5760, 1740};
// The hidden surface frames are composed on; the load gives it picBackBuffer's size.
constexpr TwipRect picBuffer{120, 240, 6495, 4215};

// Pixels, halves to the even neighbour.
QRect toPixels(const TwipRect &twips);
int toPixels(float twips);

} // namespace varnok::aboutlayout
