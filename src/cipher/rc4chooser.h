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
// Every probeGap bytes one of the other kernels, in turn, runs on a short probe, and its cost is
// taken relative to the running kernel's on the bytes right before: a burst of load from
// elsewhere slows both alike, while another kind of core changes how they compare. When probes
// put a kernel more than an eighth cheaper than where it stood, twice in a row, the thread has
// most likely changed cores (load from elsewhere only ever adds time), and every kernel is
// probed again at once, twice each, the lower time counting. The cheapest runs. Times come from
// the thread's own CPU clock, so that time spent preempted does not count; a clock that does not
// move leaves the first kernel running.
class Rc4KernelChooser final
{
public:
    using Clock = std::uint64_t (*)();

    static constexpr std::size_t probeBytes = std::size_t(16) << 10;
    static constexpr std::size_t referenceBytes = std::size_t(256) << 10;
    static constexpr std::size_t probeGap = std::size_t(4) << 20;
    static constexpr std::size_t maxKernels = 8;

    // kernels must outlive the chooser. Until it has timed them, it runs kernels[first].
    explicit Rc4KernelChooser(std::span<const Rc4Kernel> kernels, Clock clock = threadCpuTicks,
                              std::size_t first = 0);

    // As Rc4Kernel::run, with the work split between the kernels as told above.
    void run(Rc4State &state, std::span<const std::uint8_t> in, std::span<std::uint8_t> out);

    const Rc4Kernel &current() const { return m_kernels[m_current]; }
    std::size_t currentIndex() const { return m_current; }
    // How many times every kernel has been timed afresh, the first time included.
    std::size_t rounds() const { return m_rounds; }
    // Each kernel's cost as a multiple of the running one's; 0 for one not timed yet.
    std::span<const double> costs() const { return std::span(m_ratio).first(m_kernels.size()); }
    // Takes these costs (in any one unit) as known, e.g. as carried over from another core, and
    // runs the cheapest.
    void assumeCosts(std::span<const double> costs);

private:
    static constexpr std::size_t none = maxKernels;

    // Runs kernel k over in into out and returns its cost in ticks per byte, 0 if the clock did
    // not move. `start` is the clock's reading before; it becomes the reading after.
    double timedRun(std::size_t k, Rc4State &state, std::span<const std::uint8_t> in,
                    std::span<std::uint8_t> out, std::uint64_t &start);
    void noteReference(double cost);
    void noteProbe(std::size_t k, double cost);
    std::size_t dueProbe(); // the kernel to probe now, or none
    void settleRound();
    void runCheapest();

    std::span<const Rc4Kernel> m_kernels;
    Clock m_clock;
    std::uint64_t m_clockCost = 0; // ticks that a reading of the clock adds to what it times
    std::array<double, maxKernels> m_ratio{};     // cost relative to the running kernel's
    std::array<double, maxKernels> m_roundCost{}; // ticks per byte in the current round
    std::array<int, maxKernels> m_probesOwed{};   // a round is on while any are owed
    std::size_t m_current = 0;
    double m_runningCost = 0;      // the running kernel's ticks per byte in its last slice
    bool m_referenceFresh = false; // that slice came right before the next piece
    std::size_t m_lastProbed = 0;
    std::size_t m_nextInTurn = none;     // picked for the next probe in turn, not yet run
    std::size_t m_untilProbe = probeGap; // bytes of the running kernel before the next probe
    std::size_t m_doubted = none;        // a kernel whose last probe put it out of place
    std::size_t m_rounds = 0;
    bool m_clockStill = false; // a whole round took no time by the clock
};

// The calling thread's chooser over rc4Kernels(), as Rc4State::transform uses it.
Rc4KernelChooser &threadRc4KernelChooser();

} // namespace varnok
