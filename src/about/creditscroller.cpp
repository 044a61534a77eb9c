#include "creditscroller.h"

#include <cmath>
#include <exception>
#include <limits>
#include <stdexcept>

namespace varnok {

CreditLine &CreditSlots::operator[](int k)
{
    if (k < 1 || k > capacity)
        throw std::out_of_range("credit slot out of range");
    return slots_[std::size_t(k - 1)];
}

const CreditLine &CreditSlots::operator[](int k) const
{
    return const_cast<CreditSlots &>(*this)[k];
}

void CreditSlots::clear()
{
    slots_.fill(CreditLine{});
}

qint32 roundHalfEven(double value)
{
    // nearbyint rounds in the default mode, to nearest with halves to even.
    const double rounded = std::nearbyint(value);
    if (!(rounded >= double(std::numeric_limits<qint32>::min()) &&
          rounded <= double(std::numeric_limits<qint32>::max())))
        throw std::overflow_error("value does not fit a 32-bit integer");
    return qint32(rounded);
}

void CreditScroller::AddLine(const QString &text, const qint16 &bold)
{
    if (lineCount == std::numeric_limits<qint32>::max())
        throw std::overflow_error("too many credit lines");
    ++lineCount;
    if (text.isEmpty())
        return;
    lines[lineCount] = CreditLine{text, bold};
}

void CreditScroller::LoadCredits()
{
    const QString rule(50, QLatin1Char('-'));
    const QString blank;
    const struct
    {
        QString text;
        qint16 bold;
    } credits[] = {
        {QStringLiteral("Varnok with RC4 encryption"), flagTrue},
        {QStringLiteral("Version " VARNOK_VERSION), flagFalse},
        {blank, flagFalse},
        {rule, flagFalse},
        {blank, flagFalse},
        {QStringLiteral("RC4 file encryption/decryption"), flagFalse},
        {QStringLiteral("Freeware"), flagFalse},
        {QStringLiteral("Brindlemoor"), flagFalse},
        {blank, flagFalse},
        {rule, flagFalse},
        {blank, flagFalse},
        {QStringLiteral("Warning... If you forget or lose the"), flagFalse},
        {QStringLiteral("password to an encrypted file it will be"), flagFalse},
        {QStringLiteral("nearly impossible to decrypt the file."), flagFalse},
        {blank, flagFalse},
        {rule, flagFalse},
        {blank, flagFalse},
        {QStringLiteral("ALWAYS KEEP A COPY OF YOUR FILE AND THE"), flagTrue},
        {QStringLiteral("PASSWORD UNENCRYPTED IN A SAFE PLACE"), flagTrue},
        {blank, flagFalse},
        {rule, flagFalse},
        {blank, flagFalse},
        {QStringLiteral("Thats All Folks!"), flagTrue},
    };
    for (const auto &line : credits)
        AddLine(line.text, line.bold);
}

void CreditScroller::ClearLines()
{
    lines.clear();
    lineCount = 0;
}

void CreditScroller::ReloadCredits() noexcept
{
    ClearLines();
    try {
        LoadCredits();
    } catch (const std::exception &) {
        // Unreachable on an emptied list; should it happen, the lines added so far are shown.
    }
}

void CreditScroller::StartFirstPass()
{
    scrollY = float(roundHalfEven(double(bufHeight) * 0.25));
}

namespace {

// Runs one step of a frame; a step that fails is left where it failed.
template <typename Step>
void skipOnFailure(Step step) noexcept
{
    try {
        step();
    } catch (const std::exception &) {
    }
}

template <typename T>
T &need(T *surface)
{
    if (!surface)
        throw std::runtime_error("no surface");
    return *surface;
}

float finite(float value)
{
    if (!std::isfinite(value))
        throw std::overflow_error("floating-point fault");
    return value;
}

} // namespace

void CreditScroller::DrawFrame(const ScrollerSurfaces &surfaces) noexcept
{
    // Restore the band's background, which wipes out the previous frame.
    skipOnFailure([&] {
        auto &buffer = need(surfaces.picBuffer);
        buffer.copyFrom(0, 0, roundHalfEven(buffer.innerWidth()),
                        roundHalfEven(buffer.innerHeight()), need(surfaces.picBackBuffer), 0, 0);
    });
    skipOnFailure([&] { need(surfaces.picBuffer).currentY = scrollY; });
    skipOnFailure([&] { composeLines(need(surfaces.picBuffer)); });
    skipOnFailure([&] {
        need(surfaces.picOut)
            .copyFrom(bufLeft, bufTop, bufWidth, bufHeight, need(surfaces.picBuffer), 0, 0);
    });
    skipOnFailure([&] { need(surfaces.picOut).refresh(); });
    skipOnFailure([&] {
        if (need(surfaces.picBuffer).currentY < -5.0f)
            scrollY = float(bufHeight);
        else
            scrollY = finite(scrollY - 1.0f);
    });
}

void CreditScroller::composeLines(Surface &picBuffer) const
{
    const qint64 count = lineCount;
    for (qint64 k = 1; k <= count; ++k) {
        const int slot = int(k); // count never exceeds the 32-bit range
        skipOnFailure([&] { picBuffer.setBold(lines[slot].bold != flagFalse); });
        skipOnFailure([&] { picBuffer.currentY = finite(picBuffer.currentY + 2.0f); });
        skipOnFailure([&] {
            const float width = picBuffer.textWidth(lines[slot].text);
            picBuffer.currentX = finite((picBuffer.innerWidth() - width) / 2.0f);
        });
        skipOnFailure([&] { picBuffer.print(lines[slot].text); });
    }
}

} // namespace varnok
