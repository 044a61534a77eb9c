#pragma once

#include "rc4.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace varnok {

// The loops behind Rc4State::transform. Each gives exactly the bytes and the end state of
// EnDeCryptSingle applied to every byte; they differ only in how fast a given processor runs
// them, which no vendor or model name foretells, so the program measures them instead.
struct Rc4Kernel
{
    std::string_view name;
    void (*run)(Rc4State &state, std::span<const std::uint8_t> in, std::span<std::uint8_t> out);
};

// Every kernel, the plain serial loop first.
std::span<const Rc4Kernel> rc4Kernels();

// The kernel that ran fastest in a quick timing of them all, once per process on first use (a
// few hundred microseconds on a buffer of its own): the first guess of each thread's chooser
// (rc4chooser.h), until that has timed them on real data. Safe to call from any thread.
const Rc4Kernel &chosenRc4Kernel();

} // namespace varnok
