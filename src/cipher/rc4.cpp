#include "rc4.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace varnok {

namespace {

// The bulk transform works on a copy of the permutation in 32-bit cells: whole-word loads and
// stores need no byte merging, and a store to one entry never shares a word with a load of
// its neighbour. Measured clearly faster than byte or 16-bit cells.
using Table = std::array<std::uint32_t, 256>;

constexpr std::uint32_t kBlock = 8;

// One keystream step on the working copy, exactly as EnDeCryptSingle does it.
inline std::uint8_t step(Table &s, std::uint32_t &i, std::uint32_t &j, std::uint8_t byte)
{
    i = (i + 1) & 255;
    const std::uint32_t si = s[i];
    j = (j + si) & 255;
    const std::uint32_t sj = s[j];
    s[i] = sj;
    s[j] = si;
    return static_cast<std::uint8_t>(byte ^ s[(si + sj) & 255]);
}

// kBlock steps with i running through base .. base + kBlock - 1 (base a multiple of kBlock).
//
// RC4's speed is set by the chain j += s[i]. Read one step at a time, s[i] is a load that comes
// after the previous steps' stores to s[j], whose addresses are not known until their j is; the
// processor either waits for them or guesses and pays a pipeline flush when the guess is
// wrong. Reading the block's s[i] values up front, after the previous block has finished
// storing, takes those loads off the chain. The one case that makes an early value stale is a
// step whose j lands on a slot of this block that is still to come; that is rare (about one
// block in nine), so it re-reads the remaining slots on a branch the processor predicts as
// not taken. The order of stores and loads within each step is that of the single step, so
// i == j and t landing on i or j behave as there.
inline void block(Table &s, std::uint32_t base, std::uint32_t &j, const std::uint8_t *in,
                  std::uint8_t *out)
{
    // Fully unrolled, so `ahead` lives in registers and every slot is a fixed offset.
    std::uint32_t *slots = s.data() + base;
    std::array<std::uint32_t, kBlock> ahead;
#pragma GCC unroll 8
    for (std::uint32_t q = 0; q < kBlock; ++q)
        ahead[q] = slots[q];
#pragma GCC unroll 8
    for (std::uint32_t q = 0; q < kBlock; ++q) {
        const std::uint32_t si = ahead[q];
        j = (j + si) & 255;
        const std::uint32_t sj = s[j];
        slots[q] = sj;
        s[j] = si;
        out[q] = static_cast<std::uint8_t>(in[q] ^ s[(si + sj) & 255]);
        if (j - (base + q + 1) < kBlock - 1 - q) [[unlikely]] {
#pragma GCC unroll 8
            for (std::uint32_t m = q + 1; m < kBlock; ++m)
                ahead[m] = slots[m];
        }
    }
}

} // namespace

void Rc4State::RC4ini(std::span<const std::uint8_t> Pwd)
{
    assert(!Pwd.empty());
    std::size_t p = 0;
    for (auto &entry : keytab) {
        entry = Pwd[p];
        p = (p + 1) % Pwd.size();
    }
    for (int k = 0; k < 256; ++k)
        sbox[k] = static_cast<std::int16_t>(k);
    int j = 0;
    for (int i = 0; i < 256; ++i) {
        j = (sbox[i] + j + keytab[i]) & 255;
        std::swap(sbox[i], sbox[j]);
    }
}

std::uint8_t Rc4State::EnDeCryptSingle(std::uint8_t plainbyte)
{
    idxI = static_cast<std::int16_t>((idxI + 1) & 255);
    idxJ = static_cast<std::int16_t>((sbox[idxI] + idxJ) & 255);
    std::swap(sbox[idxI], sbox[idxJ]);
    const int t = (sbox[idxJ] + sbox[idxI]) & 255;
    return static_cast<std::uint8_t>(plainbyte ^ sbox[t]);
}

void Rc4State::transform(std::span<const std::uint8_t> in, std::span<std::uint8_t> out)
{
    assert(in.size() == out.size());
    Table s;
    std::copy(sbox.begin(), sbox.end(), s.begin());
    std::uint32_t i = static_cast<std::uint32_t>(idxI);
    std::uint32_t j = static_cast<std::uint32_t>(idxJ);
    const std::uint8_t *src = in.data();
    std::uint8_t *dst = out.data();
    const std::size_t n = in.size();
    std::size_t k = 0;
    // Single steps until the next i starts a block, so that no block wraps around the table.
    for (; k < n && (i + 1) % kBlock != 0; ++k)
        dst[k] = step(s, i, j, src[k]);
    for (; n - k >= kBlock; k += kBlock) {
        block(s, (i + 1) & 255, j, src + k, dst + k);
        i = (i + kBlock) & 255;
    }
    for (; k < n; ++k)
        dst[k] = step(s, i, j, src[k]);
    std::copy(s.begin(), s.end(), sbox.begin());
    secureZero(s.data(), sizeof s);
    idxI = static_cast<std::int16_t>(i);
    idxJ = static_cast<std::int16_t>(j);
}

void Rc4State::wipe() noexcept
{
    secureZero(sbox.data(), sizeof sbox);
    secureZero(keytab.data(), sizeof keytab);
    secureZero(&idxI, sizeof idxI);
    secureZero(&idxJ, sizeof idxJ);
}

void secureZero(void *data, std::size_t size) noexcept
{
    // Stores through a volatile pointer are never optimised away.
    volatile auto *bytes = static_cast<volatile unsigned char *>(data);
    for (std::size_t k = 0; k < size; ++k)
        bytes[k] = 0;
}

} // namespace varnok
