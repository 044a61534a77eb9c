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

// Width-step blocks, count of them, the first with i running from base.
template <typename Cell, std::uint32_t Width, bool Ahead, bool Word>
void blocks(Cell *s, std::uint32_t base, std::uint32_t &j, const std::uint8_t *in,
            std::uint8_t *out, std::size_t count)
{
    for (std::size_t b = 0; b < count; ++b) {
        block<Cell, Width, Ahead, Word>(s, base, j, in + b * Width, out + b * Width);
        base = (base + Width) & 255;
    }
}

// Runs the state over in into out with cells of type Cell: single steps until i reaches a
// block boundary (so that no block wraps around the table), whole blocks, then single steps.
template <typename Cell, std::uint32_t Width, auto Blocks>
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
    if (const std::size_t count = (n - k) / Width; count > 0) {
        Blocks(s.data(), (i + 1) & 255, j, src + k, dst + k, count);
        k += count * Width;
        i = static_cast<std::uint32_t>((i + count * Width) & 255);
    }
    for (; k < n; ++k)
        dst[k] = static_cast<std::uint8_t>(src[k] ^ step(s.data(), i, j));
    std::transform(s.begin(), s.end(), state.sbox.begin(),
                   [](Cell v) { return static_cast<std::int16_t>(v); });
    secureZero(s.data(), sizeof s); // the working copy of the permutation goes with the key
    state.idxI = static_cast<std::int16_t>(i);
    state.idxJ = static_cast<std::int16_t>(j);
}

template <typename Cell, std::uint32_t Width, bool Ahead, bool Word>
constexpr auto portable = walk<Cell, Width, blocks<Cell, Width, Ahead, Word>>;

#if defined(__x86_64__) && defined(__GNUC__)
#define VARNOK_RC4_X86_64_ASM

// One step of ahead1Blocks; T holds s[i], N receives s[i + 1]. J is the step's place in its
// block of eight, whose first slot is at s[base]; the ninth slot is reached through `next`.
// clang-format off
#define VARNOK_AHEAD1_STEP(K, J, T, N, NEXT_SLOT, KEYSTREAM, BLOCK_END)                            \
    "add %b[" T "], %b[j]\n\t"                                                                     \
    NEXT_SLOT(J, N)                                                                                \
    "movl (%[s],%[j],4), %k[sj]\n\t"                                                               \
    "movl %k[" T "], (%[s],%[j],4)\n\t"                                                            \
    "cmp %b[j], %b[next]\n\t"                                                                      \
    "je .Lvarnok_land" #K "_%=\n"                                                                  \
    ".Lvarnok_landed" #K "_%=:\n\t"                                                                \
    "movl %k[sj], " #J "*4(%[s],%[base],4)\n\t"                                                    \
    "add %b[" T "], %b[sj]\n\t"                                                                    \
    "add $1, %b[next]\n\t"                                                                         \
    KEYSTREAM(J)                                                                                   \
    BLOCK_END(K)
// clang-format on
#define VARNOK_AHEAD1_LAND(K, T, N)                                                                \
    ".Lvarnok_land" #K "_%=:\n\t"                                                                  \
    "movl %k[" T "], %k[" N "]\n\t"                                                                \
    "jmp .Lvarnok_landed" #K "_%=\n"
#define VARNOK_AHEAD1_IN_BLOCK(J, N) "movl (" #J "+1)*4(%[s],%[base],4), %k[" N "]\n\t"
#define VARNOK_AHEAD1_NEXT_BLOCK(J, N) "movl (%[s],%[next],4), %k[" N "]\n\t"
#define VARNOK_AHEAD1_FIRST_KEY(J) "movzbl (%[s],%[sj],4), %k[key]\n\t"
#define VARNOK_AHEAD1_KEY(J)                                                                       \
    "movzbl (%[s],%[sj],4), %k[sj]\n\t"                                                            \
    "shl $" #J "*8, %[sj]\n\t"                                                                     \
    "or %[sj], %[key]\n\t"
#define VARNOK_AHEAD1_NO_END(K)
#define VARNOK_AHEAD1_END(K)                                                                       \
    "xor (" #K "-7)(%[in]), %[key]\n\t"                                                            \
    "mov %[key], (" #K "-7)(%[in],%[outOffset])\n\t"                                               \
    "add $8, %b[base]\n\t"
#define VARNOK_AHEAD1_BLOCK(K0, K1, K2, K3, K4, K5, K6, K7)                                        \
    VARNOK_AHEAD1_STEP(K0, 0, "si", "sn", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_FIRST_KEY,         \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K1, 1, "sn", "si", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_KEY,               \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K2, 2, "si", "sn", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_KEY,               \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K3, 3, "sn", "si", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_KEY,               \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K4, 4, "si", "sn", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_KEY,               \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K5, 5, "sn", "si", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_KEY,               \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K6, 6, "si", "sn", VARNOK_AHEAD1_IN_BLOCK, VARNOK_AHEAD1_KEY,               \
                       VARNOK_AHEAD1_NO_END)                                                       \
    VARNOK_AHEAD1_STEP(K7, 7, "sn", "si", VARNOK_AHEAD1_NEXT_BLOCK, VARNOK_AHEAD1_KEY,             \
                       VARNOK_AHEAD1_END)
#define VARNOK_AHEAD1_LANDS(K0, K1, K2, K3, K4, K5, K6, K7)                                        \
    VARNOK_AHEAD1_LAND(K0, "si", "sn")                                                             \
    VARNOK_AHEAD1_LAND(K1, "sn", "si")                                                             \
    VARNOK_AHEAD1_LAND(K2, "si", "sn")                                                             \
    VARNOK_AHEAD1_LAND(K3, "sn", "si")                                                             \
    VARNOK_AHEAD1_LAND(K4, "si", "sn")                                                             \
    VARNOK_AHEAD1_LAND(K5, "sn", "si")                                                             \
    VARNOK_AHEAD1_LAND(K6, "si", "sn")                                                             \
    VARNOK_AHEAD1_LAND(K7, "sn", "si")

// Blocks of sixteen steps in x86-64 assembly, on 32-bit cells, base a multiple of 16.
//
// The chain that sets RC4's pace is j += s[i]. Here s[i + 1] is read before the step stores to
// s[j], so the read never waits to learn where that store goes; when j does land on i + 1 (one
// step in 256), a branch that is predicted as not taken copies the stored value instead. j
// lives in the low byte of a register whose upper bits stay zero, so one byte add both adds and
// wraps it, with nothing more on the chain. Slots are fixed offsets from the block's first
// cell; the keystream is gathered into a register and XORed onto the data eight bytes at once.
void ahead1Blocks(std::uint32_t *s, std::uint32_t firstI, std::uint32_t &jRef,
                  const std::uint8_t *in, std::uint8_t *out, std::size_t count)
{
    if (count == 0)
        return;
    std::uint64_t j = jRef & 255;
    std::uint64_t base = firstI;
    std::uint64_t next = (firstI + 1) & 255;
    std::uint64_t si = 0, sn = 0, sj = 0, key = 0;
    const std::intptr_t outOffset = out - in;
    asm volatile("movl (%[s],%[base],4), %k[si]\n\t"
                 ".p2align 4\n"
                 "1:\n\t" //
                 VARNOK_AHEAD1_BLOCK(0, 1, 2, 3, 4, 5, 6, 7)
                     VARNOK_AHEAD1_BLOCK(8, 9, 10, 11, 12, 13, 14, 15) //
                 "add $16, %[in]\n\t"
                 "sub $1, %[count]\n\t"
                 "jnz 1b\n\t"
                 "jmp 2f\n" //
                 VARNOK_AHEAD1_LANDS(0, 1, 2, 3, 4, 5, 6, 7)
                     VARNOK_AHEAD1_LANDS(8, 9, 10, 11, 12, 13, 14, 15) //
                 "2:\n"
                 : [j] "+r"(j), [base] "+r"(base), [next] "+r"(next), [in] "+r"(in),
                   [count] "+r"(count), [si] "+r"(si), [sn] "+r"(sn), [sj] "+r"(sj), [key] "+r"(key)
                 : [s] "r"(s), [outOffset] "r"(outOffset)
                 : "cc", "memory");
    jRef = static_cast<std::uint32_t>(j);
}
#endif

// 32-bit cells need no byte merging on a store and never share a word between an entry being
// stored and its neighbour being loaded; byte cells keep the table in four times fewer cache
// lines. Which wins depends on the core.
constexpr std::array kernels = {
    Rc4Kernel{"serial", portable<std::uint32_t, 1, false, false>},
    Rc4Kernel{"serial-bytes-wordxor", portable<std::uint8_t, 8, false, true>},
    Rc4Kernel{"ahead4", portable<std::uint32_t, 4, true, false>},
    Rc4Kernel{"ahead8", portable<std::uint32_t, 8, true, false>},
    Rc4Kernel{"ahead8-wordxor", portable<std::uint32_t, 8, true, true>},
#ifdef VARNOK_RC4_X86_64_ASM
    Rc4Kernel{"ahead1-x86-64", walk<std::uint32_t, 16, ahead1Blocks>},
#endif
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
