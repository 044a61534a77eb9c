#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnok {

// The RC4 (ARCFOUR) state, keyed with nothing but the password's character codes.
// No keystream bytes are dropped and nothing is mixed in, so files stay readable
// by any plain RC4 given the same key bytes.
class Rc4State final
{
public:
    std::array<std::int16_t, 256> sbox{};
    std::array<std::int16_t, 256> keytab{};
    std::int16_t idxI = 0;
    std::int16_t idxJ = 0;

    // Fills keytab with Pwd repeated cyclically and scrambles sbox with it. Leaves idxI and
    // idxJ alone: callers zero them first. Pwd must not be empty.
    void RC4ini(std::span<const std::uint8_t> Pwd);

    // One keystream step: returns plainbyte XOR the next keystream byte.
    std::uint8_t EnDeCryptSingle(std::uint8_t plainbyte);

    // Transforms in.size() bytes into out (which may be the same memory as in), giving the
    // bytes and leaving the state exactly as EnDeCryptSingle applied to each byte would.
    void transform(std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
    void transform(std::span<std::uint8_t> bytes) { transform(bytes, bytes); }

    // Overwrites the whole state, keytab (the password itself) included, for when a command is
    // over: nothing of the key stays in memory for another process or a core file to find.
    void wipe() noexcept;
};

// Sets size bytes at data to zero in a way the compiler cannot drop as a dead store, for
// memory that held a key.
void secureZero(void *data, std::size_t size) noexcept;

} // namespace varnok
