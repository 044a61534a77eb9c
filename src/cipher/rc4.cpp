#include "rc4.h"

#include "rc4chooser.h"

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
    threadRc4KernelChooser().run(*this, in, out);
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
