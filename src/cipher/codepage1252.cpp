#include "codepage1252.h"

#include "rc4.h"

#include <algorithm>
#include <array>

namespace varnok {

namespace {

// Code points of 0x80..0x9F in Windows-1252; 0 marks the five unassigned bytes.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

std::optional<std::uint8_t> encode(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<std::uint8_t>(c);
    const auto *found = std::find(kHighControls.begin(), kHighControls.end(), c);
    if (found == kHighControls.end())
        return std::nullopt;
    return static_cast<std::uint8_t>(0x80 + (found - kHighControls.begin()));
}

} // namespace

char16_t fromWindows1252(std::uint8_t byte)
{
    if (byte < 0x80 || byte >= 0xA0)
        return byte;
    const char16_t c = kHighControls[byte - 0x80];
    return c != 0 ? c : u'\uFFFD';
}

std::optional<std::vector<std::uint8_t>> toWindows1252(std::u16string_view text)
{
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size());
    for (char16_t c : text) {
        const auto code = encode(c);
        if (!code) {
            secureZero(bytes.data(), bytes.size()); // the password's first characters
            return std::nullopt;
        }
        bytes.push_back(*code);
    }
    return bytes;
}

} // namespace varnok
