#include "rc4chooser.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace varnok {

namespace {

// A kernel must beat the running one by this share to take over, so that two of equal speed
// do not take turns on the noise of the clock.
constexpr double margin = 1.0 / 64;

} // namespace

Rc4KernelChooser::Rc4KernelChooser(std::span<const Rc4Kernel> kernels, Clock clock,
                                   std::size_t first)
    : m_kernels(kernels)
    , m_clock(clock)
    , m_current(first)
    , m_lastProbed(first)
{
    assert(!kernels.empty() && kernels.size() <= maxKernels && first < kernels.size());
    // The first round, on the first bytes that allow it.
    std::fill(m_probesOwed.begin(), m_probesOwed.begin() + std::ptrdiff_t(kernels.size()), 2);
    // Reading a thread's CPU clock can take a system call, a microsecond or more under a
    // hypervisor, part of which lands inside every interval timed: a tenth of a probe.
    std::uint64_t least = UINT64_MAX;
    for (int k = 0; k < 5; ++k) {
        const std::uint64_t before = m_clock();
        least = std::min(least, m_clock() - before);
    }
    m_clockCost = least;
}

void Rc4KernelChooser::run(Rc4State &state, std::span<const std::uint8_t> in,
                           std::span<std::uint8_t> out)
{
    assert(in.size() == out.size());
    const std::size_t n = std::min(in.size(), out.size());
    std::size_t done = 0;
    std::uint64_t start = 0;
    bool clockRead = false; // start holds the reading at `done`
    auto timed = [&](std::size_t k, std::size_t length) {
        if (!clockRead)
            start = m_clock();
        clockRead = true;
        const double cost =
            timedRun(k, state, in.subspan(done, length), out.subspan(done, length), start);
        done += length;
        return cost;
    };
    m_referenceFresh = false;
    while (done < n) {
        const std::size_t left = n - done;
        if (const std::size_t due = left >= probeBytes ? dueProbe() : none; due != none) {
            if (m_probesOwed[due] > 0 || m_referenceFresh) {
                noteProbe(due, timed(due, probeBytes));
                if (due == m_nextInTurn) {
                    m_untilProbe = probeGap;
                    m_nextInTurn = none;
                }
                continue;
            }
            // Outside a round, a probe is weighed against the running kernel right before it, timed
            // in two halves of which the cheaper counts, so that a burst of load from elsewhere in
            // one of them does not make the probe look cheap.
            if (left >= 3 * probeBytes) {
                const std::size_t half = std::min(left - probeBytes, referenceBytes) / 2;
                const double first = timed(m_current, half);
                const double second = timed(m_current, half);
                noteReference(first > 0 && second > 0 ? std::min(first, second) : 0);
                continue;
            }
        }
        // Untimed, up to where the next probe falls due.
        const std::size_t length = m_untilProbe > 0 ? std::min(left, m_untilProbe) : left;
        m_kernels[m_current].run(state, in.subspan(done, length), out.subspan(done, length));
        clockRead = false;
        m_referenceFresh = false;
        m_untilProbe -= std::min(m_untilProbe, length);
        done += length;
    }
}

double Rc4KernelChooser::timedRun(std::size_t k, Rc4State &state, std::span<const std::uint8_t> in,
                                  std::span<std::uint8_t> out, std::uint64_t &start)
{
    m_kernels[k].run(state, in, out);
    const std::uint64_t end = m_clock();
    const std::uint64_t took = end - start;
    start = end;
    if (took <= m_clockCost)
        return 0;
    return double(took - m_clockCost) / double(in.size());
}

void Rc4KernelChooser::noteReference(double cost)
{
    if (cost > 0) {
        m_runningCost = cost;
        m_referenceFresh = true;
    }
}

void Rc4KernelChooser::noteProbe(std::size_t k, double cost)
{
    m_referenceFresh = false;
    if (m_probesOwed[k] > 0) {
        // Part of a round: the lower of the two times counts.
        if (cost > 0)
            m_roundCost[k] =
                m_probesOwed[k] == 2 || m_roundCost[k] <= 0 ? cost : std::min(m_roundCost[k], cost);
        --m_probesOwed[k];
        if (std::all_of(m_probesOwed.begin(), m_probesOwed.end(), [](int n) { return n == 0; }))
            settleRound();
        return;
    }
    if (cost <= 0 || m_runningCost <= 0)
        return;
    const double ratio = cost / m_runningCost;
    double &known = m_ratio[k];
    if (known > 0 && ratio < known * (1 - 1.0 / 8)) {
        // Cheaper than it stood, which load from elsewhere cannot make it: once may still be a
        // fluke of the reference, twice means the kernels compare differently now (the running
        // one slowed, or this one sped up), so time them all.
        if (m_doubted == k) {
            m_doubted = none;
            std::fill(m_probesOwed.begin(), m_probesOwed.begin() + std::ptrdiff_t(m_kernels.size()),
                      2);
        } else {
            m_doubted = k; // probed again, after a new reference
        }
        return;
    }
    m_doubted = none;
    // Dearer by far is most likely a burst of load during the probe, and a kernel that did grow
    // dearer is no threat to the running one.
    if (known <= 0 || ratio <= known * (1 + 1.0 / 8))
        known = known > 0 ? (known + ratio) / 2 : ratio;
    runCheapest();
}

std::size_t Rc4KernelChooser::dueProbe()
{
    // A round first, the kernels in turn; then a doubted kernel again; then the next in turn.
    std::size_t owing = none;
    for (std::size_t k = 0; k < m_kernels.size(); ++k) {
        if (m_probesOwed[k] > 0 && (owing == none || m_probesOwed[k] > m_probesOwed[owing]))
            owing = k;
    }
    if (owing != none)
        return owing;
    if (m_clockStill)
        return none;
    if (m_doubted != none)
        return m_doubted;
    if (m_untilProbe > 0 || m_kernels.size() < 2)
        return none;
    if (m_nextInTurn == none || m_nextInTurn == m_current) {
        m_lastProbed = (m_lastProbed + 1) % m_kernels.size();
        if (m_lastProbed == m_current)
            m_lastProbed = (m_lastProbed + 1) % m_kernels.size();
        m_nextInTurn = m_lastProbed;
    }
    return m_nextInTurn;
}

void Rc4KernelChooser::settleRound()
{
    ++m_rounds;
    std::size_t cheapest = m_current;
    for (std::size_t k = 0; k < m_kernels.size(); ++k) {
        if (m_roundCost[k] > 0 &&
            (m_roundCost[cheapest] <= 0 || m_roundCost[k] < m_roundCost[cheapest]))
            cheapest = k;
    }
    if (m_roundCost[cheapest] <= 0) {
        m_clockStill = true; // nothing to learn from it: stop timing
        return;
    }
    m_current = cheapest;
    m_runningCost = m_roundCost[cheapest];
    for (std::size_t k = 0; k < m_kernels.size(); ++k)
        m_ratio[k] = m_roundCost[k] / m_roundCost[cheapest];
    m_doubted = none;
}

void Rc4KernelChooser::runCheapest()
{
    std::size_t cheapest = m_current;
    for (std::size_t k = 0; k < m_kernels.size(); ++k) {
        if (m_ratio[k] > 0 && m_ratio[k] < m_ratio[cheapest] * (1 - margin))
            cheapest = k;
    }
    if (cheapest == m_current)
        return;
    // Everything is now measured against the new running kernel.
    const double scale = m_ratio[cheapest];
    for (std::size_t k = 0; k < m_kernels.size(); ++k)
        m_ratio[k] /= scale;
    m_runningCost *= scale;
    m_current = cheapest;
}

void Rc4KernelChooser::assumeCosts(std::span<const double> costs)
{
    assert(costs.size() == m_kernels.size());
    std::fill(m_probesOwed.begin(), m_probesOwed.end(), 0);
    m_current = std::size_t(std::min_element(costs.begin(), costs.end()) - costs.begin());
    for (std::size_t k = 0; k < m_kernels.size(); ++k)
        m_ratio[k] = costs[k] / costs[m_current];
    m_runningCost = 0; // until its first slice
    m_doubted = none;
}

Rc4KernelChooser &threadRc4KernelChooser()
{
    const std::span<const Rc4Kernel> kernels = rc4Kernels();
    thread_local Rc4KernelChooser chooser(kernels, threadCpuTicks,
                                          std::size_t(&chosenRc4Kernel() - kernels.data()));
    return chooser;
}

} // namespace varnok
