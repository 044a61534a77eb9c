#pragma once

#include "surface.h"

#include <QString>
#include <QtGlobal>

#include <array>

namespace varnok {

// Flags stored as 16-bit values: true is -1, false is 0.
constexpr qint16 flagTrue = -1;
constexpr qint16 flagFalse = 0;

// One line of the credits.
struct CreditLine
{
    QString text;            // empty for a blank spacer line
    qint16 bold = flagFalse; // draw with the bold face
};

// The fixed block of credit slots, numbered 1 to capacity.
class CreditSlots final
{
public:
    static constexpr int capacity = 3000;

    // Slot k, 1-based; std::out_of_range outside 1..capacity.
    CreditLine &operator[](int k);
    const CreditLine &operator[](int k) const;

    void clear();

private:
    std::array<CreditLine, capacity> slots_;
};

// The three surfaces a frame passes through: composed on picBuffer from the untouched band in
// picBackBuffer, then copied into the band of the visible picOut.
struct ScrollerSurfaces
{
    Surface *picOut = nullptr;
    const Surface *picBackBuffer = nullptr;
    Surface *picBuffer = nullptr;
};

// The credits text scrolling upward through a band of a picture, one pixel per frame, and
// starting again below the band once the whole text has left it at the top.
class CreditScroller final
{
public:
    // Appends a line. A blank line only takes its number: its slot keeps what it held.
    // Throws std::overflow_error (nothing changes) when the count cannot grow, and
    // std::out_of_range (the count stays grown) for a non-empty line past the last slot.
    void AddLine(const QString &text, const qint16 &bold);

    // Appends the 23 lines of the credits.
    void LoadCredits();

    // Empties the list, then loads the credits, so that the list holds them exactly once.
    // Never throws.
    void ReloadCredits() noexcept;

    // Empties every slot and sets the count to 0.
    void ClearLines();

    // Sets where the first pass starts: a quarter of the band's height, halves to even.
    void StartFirstPass();

    // Composes one frame and shows it, then moves the text up by one pixel or, once its
    // bottom has risen above the band's top by more than 5 pixels, back below the band.
    // A step that fails is skipped and the rest goes on.
    void DrawFrame(const ScrollerSurfaces &surfaces) noexcept;

    CreditSlots lines;
    qint32 lineCount = 0;
    float scrollY = 0;
    qint32 bufWidth = 0;
    qint32 bufHeight = 0;
    qint32 bufTop = 0;
    qint32 bufLeft = 0;

private:
    void composeLines(Surface &picBuffer) const;
};

// Nearest whole number, halves to the even neighbour.
qint32 roundHalfEven(double value);

} // namespace varnok
