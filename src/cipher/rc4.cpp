#include "rc4.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace varnok {

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
    // Work on a copy of the permutation in 32-bit cells: loads and stores of whole words need
    // no byte merging or sign handling, and measured faster than a byte-wide table here.
    std::array<std::uint32_t, 256> s;
    std::copy(sbox.begin(), sbox.end(), s.begin());
    std::uint32_t i = static_cast<std::uint32_t>(idxI);
    std::uint32_t j = static_cast<std::uint32_t>(idxJ);
    const std::uint8_t *src = in.data();
    std::uint8_t *dst = out.data();
    const std::size_t n = in.size();
    // Unrolling lets the loads of the next steps start while the stores of this one are still
    // in flight; the steps stay in order, so i == j and every other aliasing works as per byte.
#pragma GCC unroll 8
    for (std::size_t k = 0; k < n; ++k) {
        i = (i + 1) & 255;
        const std::uint32_t si = s[i];
        j = (j + si) & 255;
        const std::uint32_t sj = s[j];
        s[i] = sj;
        s[j] = si;
        dst[k] = static_cast<std::uint8_t>(src[k] ^ s[(si + sj) & 255]);
    }
    std::copy(s.begin(), s.end(), sbox.begin());
    idxI = static_cast<std::int16_t>(i);
    idxJ = static_cast<std::int16_t>(j);
}

} // namespace varnok
