#include "rc4chooser.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace varnok {

Rc4KernelChooser::Rc4KernelChooser(std::span<const Rc4Kernel> kernels, Clock clock,
                                   std::size_t first)
    : m_kernels(kernels)
    , m_clock(clock)
    , m_current(first)
    , m_lastProbed(first)
{
    assert(!kernels.empty() && kernels.size() <= maxKernels && first < kernels.size());
    // Every kernel is timed on the first bytes that allow it.
    std::fill(m_stale.begin(), m_stale.begin() + std::ptrdiff_t(kernels.size()), true);
    // Reading a thread's CPU clock can take a system call, a microsecond or more under a
    // hypervisor, part of which lands inside every interval timed: about a tenth of a probe.
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
    bool clockRead = false;
    auto readClockOnce = [&] {
        if (!clockRead)
            start = m_clock();
        clockRead = true;
    };
    while (done < n) {
        const std::size_t left = n - done;
        if (left >= probeBytes) {
            if (const std::size_t k = dueProbe(); k != none) {
                readClockOnce();
                noteProbe(k, timedRun(k, state, in.subspan(done, probeBytes),
                                      out.subspan(done, probeBytes), start));
                done += probeBytes;
                continue;
            }
        }
        // A short piece is not worth a reading of the clock; it still counts towards a probe.
        const std::size_t length = std::min({left, sliceBytes, std::max(m_untilProbe, probeBytes)});
        if (length >= probeBytes) {
            readClockOnce();
            noteSlice(timedRun(m_current, state, in.subspan(done, length),
                               out.subspan(done, length), start));
        } else {
            m_kernels[m_current].run(state, in.subspan(done, length), out.subspan(done, length));
            clockRead = false;
        }
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

void Rc4KernelChooser::noteSlice(double cost)
{
    if (cost <= 0)
        return;
    double &known = m_costs[m_current];
    if (known > 0 && std::abs(cost - known) > known / 8) {
        if (++m_moves < 2)
            return; // one slice may have met an interrupt; two in a row mean a change
        // Most likely another kind of core: what the others cost is no longer known.
        for (std::size_t k = 0; k < m_kernels.size(); ++k)
            m_stale[k] = k != m_current;
        m_moves = 0;
        known = cost;
    } else {
        m_moves = 0;
        known = known > 0 ? known + (cost - known) / 4 : cost;
    }
    pickCheapest();
}

void Rc4KernelChooser::noteProbe(std::size_t k, double cost)
{
    m_stale[k] = false;
    if (cost > 0)
        m_costs[k] = m_costs[k] > 0 && k != m_current ? (m_costs[k] + cost) / 2 : cost;
    pickCheapest();
}

std::size_t Rc4KernelChooser::dueProbe()
{
    for (std::size_t k = 0; k < m_kernels.size(); ++k) {
        if (m_stale[k])
            return k;
    }
    if (m_untilProbe > 0 || m_kernels.size() < 2)
        return none;
    m_untilProbe = probeGap;
    ++m_turn;
    const double running = m_costs[m_current];
    for (std::size_t step = 1; step <= m_kernels.size(); ++step) {
        const std::size_t k = (m_lastProbed + step) % m_kernels.size();
        if (k == m_current)
            continue;
        if (m_turn % 4 != 0 && running > 0 && m_costs[k] > running * 1.25)
            continue;
        m_lastProbed = k;
        return k;
    }
    return none;
}

void Rc4KernelChooser::pickCheapest()
{
    // A kernel newly probed must beat the running one by a little, so that two of equal speed
    // do not take turns on the noise of the clock.
    std::size_t best = m_current;
    for (std::size_t k = 0; k < m_kernels.size(); ++k) {
        if (m_stale[k] || m_costs[k] <= 0)
            continue;
        if (m_costs[best] <= 0 || m_stale[best] || m_costs[k] < m_costs[best] * (1 - 1.0 / 64))
            best = k;
    }
    m_current = best;
}

void Rc4KernelChooser::assumeCosts(std::span<const double> costs)
{
    assert(costs.size() == m_kernels.size());
    std::copy(costs.begin(), costs.end(), m_costs.begin());
    std::fill(m_stale.begin(), m_stale.end(), false);
    m_moves = 0;
    pickCheapest();
}

Rc4KernelChooser &threadRc4KernelChooser()
{
    const std::span<const Rc4Kernel> kernels = rc4Kernels();
    thread_local Rc4KernelChooser chooser(kernels, threadCpuTicks,
                                          std::size_t(&chosenRc4Kernel() - kernels.data()));
    return chooser;
}

} // namespace varnok
