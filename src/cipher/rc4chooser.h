#pragma once

#include "rc4kernels.h"
#include "threadclock.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnok {

// Decides which kernel runs each stretch of a transform by timing the kernels on the data
// itself, as the run goes. Which kernel is fastest depends on the core a thread runs on, and a
// thread can be moved between cores of different kinds (hybrid processors, virtual machines),
// so no single choice made up front holds.
//
// The running kernel works in timed slices. Every probeGap bytes one of the others runs on a
// short probe, in turn, so that every kernel's cost stays known, and the cheapest becomes the
// running one. A kernel more than a quarter dearer than the running one is probed on every
// fourth turn only, as probing it costs the most and it is the least likely to win. When the
// running kernel's cost moves by more than an eighth in two slices in a row, the thread has
// most likely changed cores, and every other kernel is probed again at once. Costs come from
// the thread's own CPU clock, so that time spent preempted is not counted against a kernel;
// a clock that does not move leaves the first kernel running.
class Rc4KernelChooser final
{
public:
    using Clock = std::uint64_t (*)();

    static constexpr std::size_t sliceBytes = std::size_t(1) << 20;
    static constexpr std::size_t probeBytes = std::size_t(16) << 10;
    static constexpr std::size_t probeGap = std::size_t(2) << 20;
    static constexpr std::size_t maxKernels = 8;

    // kernels must outlive the chooser. Until it has timed them, it runs kernels[first].
    explicit Rc4KernelChooser(std::span<const Rc4Kernel> kernels, Clock clock = threadCpuTicks,
                              std::size_t first = 0);

    // As Rc4Kernel::run, with the work split between the kernels as told above.
    void run(Rc4State &state, std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

    const Rc4Kernel &current() const { return m_kernels[m_current]; }
    std::size_t currentIndex() const { return m_current; }
    // Each kernel's latest cost in clock ticks per byte; 0 for one not timed yet.
    std::span<const double> costs() const { return std::span(m_costs).first(m_kernels.size()); }
    // Takes these costs as known, e.g. as carried over from another core, and runs the cheapest.
    void assumeCosts(std::span<const double> costs);

private:
    static constexpr std::size_t none = maxKernels;

    // Runs kernel k over in into out and returns its cost in ticks per byte, 0 if the clock did
    // not move. `start` is the clock's reading before; it becomes the reading after.
    double timedRun(std::size_t k, Rc4State &state, std::span<const std::uint8_t> in,
                    std::span<std::uint8_t> out, std::uint64_t &start);
    void noteSlice(double cost);
    void noteProbe(std::size_t k, double cost);
    std::size_t dueProbe(); // the kernel to probe now, or none
    void pickCheapest();

    std::span<const Rc4Kernel> m_kernels;
    Clock m_clock;
    std::uint64_t m_clockCost = 0; // ticks that a reading of the clock adds to what it times
    std::array<double, maxKernels> m_costs{};
    std::array<bool, maxKernels> m_stale{}; // to be probed before the next slice
    std::size_t m_current = 0;
    std::size_t m_lastProbed = 0;
    std::size_t m_untilProbe = probeGap; // bytes of the running kernel before the next probe
    std::size_t m_turn = 0;              // probe turns so far
    int m_moves = 0;                     // slices in a row whose cost moved by more than an eighth
};

// The calling thread's chooser over rc4Kernels(), as Rc4State::transform uses it.
Rc4KernelChooser &threadRc4KernelChooser();

} // namespace varnok
