#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace varnok {

// Turns text into its Windows-1252 byte codes, one byte per character, so that a password
// keys the cipher exactly as it did on a Western Windows system. Returns nothing when a
// character has no single-byte code there (the caller refuses such a password).
std::optional<std::vector<std::uint8_t>> toWindows1252(std::u16string_view text);

// The character a Windows-1252 byte stands for; U+FFFD for the five bytes it leaves unassigned.
char16_t fromWindows1252(std::uint8_t byte);

} // namespace varnok
