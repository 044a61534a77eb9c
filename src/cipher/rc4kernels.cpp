#include "rc4kernels.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <vector>

namespace varnok {

namespace {

// One keystream step on a working copy of the permutation, exactly as EnDeCryptSingle does it.
template <typename Cell>
inline std::uint8_t step(Cell *s, std::uint32_t &i, std::uint32_t &j)
{
    i = (i + 1) & 255;
    const std::uint32_t si = s[i];
    j = (j + si) & 255;
    const std::uint32_t sj = s[j];
    s[i] = static_cast<Cell>(sj);
    s[j] = static_cast<Cell>(si);
    return static_cast<std::uint8_t>(s[(si + sj) & 255]);
}

// Width steps with i running through base .. base + Width - 1 (base a multiple of Width).
//
// RC4's speed is set by the chain j += s[i]. Read one step at a time, s[i] is a load that comes
// after the previous steps' stores to s[j], whose addresses are not known until their j is; the
// processor either waits for them or guesses and pays a pipeline flush when the guess is
// wrong. With Ahead, the block's s[i] values are read up front, after the previous block has
// finished storing, which takes those loads off the chain. The one case that makes an early
// value stale is a step whose j lands on a slot of this block that is still to come; that is
// rare, so it re-reads the remaining slots on a branch the processor predicts as not taken.
// With Word, the keystream bytes are gathered in a register and XORed onto the data eight at a
// time, one load and one store instead of eight each. The order of stores and loads within each
// step is that of the single step, so i == j and t landing on i or j behave as there.
template <typename Cell, std::uint32_t Width, bool Ahead, bool Word>
inline void block(Cell *s, std::uint32_t base, std::uint32_t &jRef, const std::uint8_t *in,
                  std::uint8_t *out)
{
    static_assert(!Word || Width % 8 == 0);
    // A byte wraps by itself, so the chain from one j to the next is a single add.
    std::uint8_t j = static_cast<std::uint8_t>(jRef);
    // Fully unrolled, so `ahead` and `word` live in registers and every slot is a fixed offset.
    Cell *slots = s + base;
    [[maybe_unused]] std::array<std::uint32_t, Width> ahead;
    if constexpr (Ahead) {
#pragma GCC unroll 16
        for (std::uint32_t q = 0; q < Width; ++q)
            ahead[q] = slots[q];
    }
    [[maybe_unused]] std::uint64_t word = 0;
#pragma GCC unroll 16
    for (std::uint32_t q = 0; q < Width; ++q) {
        std::uint32_t si;
        if constexpr (Ahead)
            si = ahead[q];
        else
            si = slots[q];
        j = static_cast<std::uint8_t>(j + si);
        const std::uint32_t sj = s[j];
        slots[q] = static_cast<Cell>(sj);
        s[j] = static_cast<Cell>(si);
        const std::uint8_t key = static_cast<std::uint8_t>(s[(si + sj) & 255]);
        if constexpr (Word) {
            word |= std::uint64_t(key) << (8 * (q % 8));
            if (q % 8 == 7) {
                std::uint64_t data;
                std::memcpy(&data, in + q - 7, sizeof data);
                data ^= word;
                std::memcpy(out + q - 7, &data, sizeof data);
                word = 0;
            }
        } else {
            out[q] = static_cast<std::uint8_t>(in[q] ^ key);
        }
        if constexpr (Ahead) {
            if (std::uint32_t(j) - (base + q + 1) < Width - 1 - q) [[unlikely]] {
#pragma GCC unroll 16
                for (std::uint32_t m = q + 1; m < Width; ++m)
                    ahead[m] = slots[m];
            }
        }
    }
    jRef = j;
}

// Runs the state over in into out with cells of type Cell: single steps until i reaches a
// block boundary (so that no block wraps around the table), whole blocks, then single steps.
template <typename Cell, std::uint32_t Width, bool Ahead, bool Word>
void walk(Rc4State &state, std::span<const std::uint8_t> in, std::span<std::uint8_t> out)
{
    std::array<Cell, 256> s;
    std::transform(state.sbox.begin(), state.sbox.end(), s.begin(),
                   [](std::int16_t v) { return static_cast<Cell>(v); });
    std::uint32_t i = static_cast<std::uint32_t>(state.idxI);
    std::uint32_t j = static_cast<std::uint32_t>(state.idxJ);
    const std::uint8_t *src = in.data();
    std::uint8_t *dst = out.data();
    const std::size_t n = std::min(in.size(), out.size());
    std::size_t k = 0;
    for (; k < n && (i + 1) % Width != 0; ++k)
        dst[k] = static_cast<std::uint8_t>(src[k] ^ step(s.data(), i, j));
    for (; n - k >= Width; k += Width) {
        block<Cell, Width, Ahead, Word>(s.data(), (i + 1) & 255, j, src + k, dst + k);
        i = (i + Width) & 255;
    }
    for (; k < n; ++k)
        dst[k] = static_cast<std::uint8_t>(src[k] ^ step(s.data(), i, j));
    std::transform(s.begin(), s.end(), state.sbox.begin(),
                   [](Cell v) { return static_cast<std::int16_t>(v); });
    secureZero(s.data(), sizeof s); // the working copy of the permutation goes with the key
    state.idxI = static_cast<std::int16_t>(i);
    state.idxJ = static_cast<std::int16_t>(j);
}

// 32-bit cells need no byte merging on a store and never share a word between an entry being
// stored and its neighbour being loaded; byte cells keep the table in four times fewer cache
// lines. Which wins depends on the core.
constexpr std::array kernels = {
    Rc4Kernel{"serial", walk<std::uint32_t, 1, false, false>},
    Rc4Kernel{"serial-bytes-wordxor", walk<std::uint8_t, 8, false, true>},
    Rc4Kernel{"ahead4", walk<std::uint32_t, 4, true, false>},
    Rc4Kernel{"ahead8", walk<std::uint32_t, 8, true, false>},
    Rc4Kernel{"ahead8-wordxor", walk<std::uint32_t, 8, true, true>},
};

// Times every kernel on a buffer of its own, in interleaved rounds so that a moment of load
// from elsewhere hits them alike, and keeps the one with the best single time.
const Rc4Kernel &calibrate()
{
    using Clock = std::chrono::steady_clock;
    constexpr std::size_t bufferSize = 8 * 1024;
    constexpr int rounds = 4;
    std::vector<std::uint8_t> buffer(bufferSize);
    Rc4State seed;
    const std::array<std::uint8_t, 8> key = {'c', 'a', 'l', 'i', 'b', 'r', 'a', 't'};
    seed.RC4ini(key);
    std::array<Rc4State, kernels.size()> states;
    states.fill(seed);
    std::array<Clock::duration, kernels.size()> best;
    best.fill(Clock::duration::max());
    for (int round = 0; round <= rounds; ++round) {
        for (std::size_t k = 0; k < kernels.size(); ++k) {
            const auto start = Clock::now();
            kernels[k].run(states[k], buffer, buffer);
            const auto took = Clock::now() - start;
            // Round 0 only warms caches and branch predictors.
            if (round > 0)
                best[k] = std::min(best[k], took);
        }
    }
    return kernels[std::size_t(std::min_element(best.begin(), best.end()) - best.begin())];
}

} // namespace

std::span<const Rc4Kernel> rc4Kernels()
{
    return kernels;
}

const Rc4Kernel &chosenRc4Kernel()
{
    static const Rc4Kernel &chosen = calibrate();
    return chosen;
}

} // namespace varnok
