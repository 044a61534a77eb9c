// RC4 throughput on one 64 MiB buffer: our bulk transform (choosing its kernels as it goes) and
// each of its kernels against OpenSSL's EVP RC4 (legacy provider) in the same run, with the
// per-byte reference for context. Repetitions are interleaved so that a busy moment of the
// (shared) machine hits both alike, and timed in CPU time so that waiting for a core while
// others run is not counted. The summary prints each one's best, median and worst throughput
// and its ratio to OpenSSL's; then what choosing costs on 1 GiB against the best kernel alone,
// and how soon the choice settles.
//
// With --per-core, it instead compares ours and OpenSSL's on each online core in turn, pinned,
// one row per core; --rounds=N repeats that N times, --every=M minutes apart, to catch the
// kinds of core a virtual machine is given over time.

#include "rc4.h"
#include "rc4chooser.h"
#include "rc4kernels.h"
#include "threadclock.h"

#include "benchsupport.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBufferSize = 64u << 20;
constexpr int kRepetitions = 9;

std::vector<std::uint8_t> &sharedBuffer()
{
    static std::vector<std::uint8_t> buffer = [] {
        std::vector<std::uint8_t> bytes(kBufferSize);
        std::mt19937_64 rng(42);
        for (auto &b : bytes)
            b = static_cast<std::uint8_t>(rng());
        return bytes;
    }();
    return buffer;
}

const std::vector<std::uint8_t> kKey = {'b', 'e', 'n', 'c', 'h', 'm', 'a', 'r',
                                        'k', ' ', 'p', 'a', 's', 's', '!', '1'};

void countBytes(benchmark::State &state)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kBufferSize));
}

void BM_Rc4Bulk(benchmark::State &state)
{
    auto &buffer = sharedBuffer();
    varnok::Rc4State rc4;
    rc4.RC4ini(kKey);
    for (auto _ : state) {
        rc4.transform(buffer);
        benchmark::ClobberMemory();
    }
    countBytes(state);
}

std::string kernelBenchmarkName(const varnok::Rc4Kernel &kernel)
{
    return "BM_Rc4Kernel/" + std::string(kernel.name);
}

// One kernel by itself, as transform would run it had calibration chosen it.
void BM_Rc4Kernel(benchmark::State &state, const varnok::Rc4Kernel *kernel)
{
    auto &buffer = sharedBuffer();
    varnok::Rc4State rc4;
    rc4.RC4ini(kKey);
    for (auto _ : state) {
        kernel->run(rc4, buffer, buffer);
        benchmark::ClobberMemory();
    }
    countBytes(state);
}

void BM_Rc4PerByte(benchmark::State &state)
{
    auto &buffer = sharedBuffer();
    varnok::Rc4State rc4;
    rc4.RC4ini(kKey);
    for (auto _ : state) {
        for (auto &b : buffer)
            b = rc4.EnDeCryptSingle(b);
        benchmark::ClobberMemory();
    }
    countBytes(state);
}

// An EVP RC4 context keyed like ours; empty when the legacy provider is missing.
class OpenSslRc4
{
public:
    OpenSslRc4()
    {
        ok_ = legacy_ && cipher_ && ctx_ &&
              EVP_EncryptInit_ex2(ctx_, cipher_, nullptr, nullptr, nullptr) &&
              EVP_CIPHER_CTX_set_key_length(ctx_, static_cast<int>(kKey.size())) &&
              EVP_EncryptInit_ex2(ctx_, nullptr, kKey.data(), nullptr, nullptr);
    }
    ~OpenSslRc4()
    {
        EVP_CIPHER_CTX_free(ctx_);
        EVP_CIPHER_free(cipher_);
        if (base_)
            OSSL_PROVIDER_unload(base_);
        if (legacy_)
            OSSL_PROVIDER_unload(legacy_);
    }
    OpenSslRc4(const OpenSslRc4 &) = delete;
    OpenSslRc4 &operator=(const OpenSslRc4 &) = delete;

    bool ok() const { return ok_; }
    bool transform(std::span<std::uint8_t> bytes)
    {
        int written = 0;
        return EVP_EncryptUpdate(ctx_, bytes.data(), &written, bytes.data(),
                                 static_cast<int>(bytes.size())) &&
               written == static_cast<int>(bytes.size());
    }

private:
    OSSL_PROVIDER *legacy_ = OSSL_PROVIDER_load(nullptr, "legacy");
    OSSL_PROVIDER *base_ = OSSL_PROVIDER_load(nullptr, "default");
    EVP_CIPHER *cipher_ = EVP_CIPHER_fetch(nullptr, "RC4", nullptr);
    EVP_CIPHER_CTX *ctx_ = EVP_CIPHER_CTX_new();
    bool ok_ = false;
};

void BM_OpenSslRc4(benchmark::State &state)
{
    auto &buffer = sharedBuffer();
    OpenSslRc4 openssl;
    if (!openssl.ok()) {
        state.SkipWithError("OpenSSL's RC4 (legacy provider) is not available");
        return;
    }
    for (auto _ : state) {
        if (!openssl.transform(buffer)) {
            state.SkipWithError("EVP_EncryptUpdate failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    countBytes(state);
}

using varnok::bench::median;

// Processor cycles per second of thread CPU time: the best of 200 timings of a chain of 20
// million dependent additions, one a cycle, timed by the same clock as the throughputs, so that
// cycles per byte come out right even where a virtual machine's CPU time runs a little fast.
// 0 where the chain cannot be written (other processors).
double cyclesPerCpuSecond()
{
#if defined(__x86_64__) && defined(__GNUC__)
    double best = 0;
    for (int run = 0; run < 200; ++run) {
        std::uint64_t x = 0;
        const std::uint64_t start = varnok::threadCpuTicks();
        for (int k = 0; k < 2'000'000; ++k)
            asm volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                         "add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\t"
                         "add $1, %0\n\tadd $1, %0"
                         : "+r"(x));
        const std::uint64_t took = varnok::threadCpuTicks() - start; // nanoseconds
        if (took > 0)
            best = std::max(best, 2e7 / (double(took) * 1e-9));
    }
    return best;
#else
    return 0;
#endif
}

// Prints as usual (without colour codes, so logs stay readable) and keeps each repetition's
// time per pass for the summary.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    RatioReporter()
        : ConsoleReporter(OO_None)
    {}

    void ReportRuns(const std::vector<Run> &reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const Run &run : reports) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                seconds_[run.run_name.function_name].push_back(run.GetAdjustedCPUTime() * 1e-3);
        }
    }

    void printSummary()
    {
        cyclesPerSecond_ = cyclesPerCpuSecond();
        const auto theirs = sortedRates("BM_OpenSslRc4");
        std::printf("\nRC4 on one %zu MiB buffer, MiB/s as best / median / worst repetition, and"
                    " the ratio to OpenSSL's median / best",
                    kBufferSize >> 20);
        if (cyclesPerSecond_ > 0)
            std::printf("; cycles a byte at the median, the core taken at %.2f GHz",
                        cyclesPerSecond_ * 1e-9);
        std::printf(":\n");
        printRates("OpenSSL EVP", theirs, theirs);
        printRates("ours (bulk)", sortedRates("BM_Rc4Bulk"), theirs);
        for (const auto &kernel : varnok::rc4Kernels())
            printRates(("kernel " + std::string(kernel.name)).c_str(),
                       sortedRates(kernelBenchmarkName(kernel)), theirs);
        printRates("per-byte", sortedRates("BM_Rc4PerByte"), theirs);
    }

    // The kernel with the best median throughput, if each was measured.
    std::optional<std::size_t> fastestKernel() const
    {
        std::optional<std::size_t> fastest;
        double rate = 0;
        const auto kernels = varnok::rc4Kernels();
        for (std::size_t k = 0; k < kernels.size(); ++k) {
            const auto rates = sortedRates(kernelBenchmarkName(kernels[k]));
            if (rates.empty())
                return std::nullopt;
            if (median(rates) > rate) {
                rate = median(rates);
                fastest = k;
            }
        }
        return fastest;
    }

private:
    // Throughputs in MiB/s, fastest first.
    std::vector<double> sortedRates(const std::string &name) const
    {
        std::vector<double> rates;
        if (auto found = seconds_.find(name); found != seconds_.end()) {
            for (double seconds : found->second)
                rates.push_back(double(kBufferSize >> 20) / seconds);
        }
        std::sort(rates.begin(), rates.end(), std::greater<>());
        return rates;
    }

    void printRates(const char *label, const std::vector<double> &rates,
                    const std::vector<double> &reference) const
    {
        if (rates.empty())
            return;
        std::printf("  %-34s %7.1f / %7.1f / %7.1f", label, rates.front(), median(rates),
                    rates.back());
        if (!reference.empty())
            std::printf("   %.3fx / %.3fx", median(rates) / median(reference),
                        rates.front() / reference.front());
        if (cyclesPerSecond_ > 0)
            std::printf("   %.2f c/B", cyclesPerSecond_ / (median(rates) * (1 << 20)));
        std::printf("\n");
    }

    std::map<std::string, std::vector<double>> seconds_;
    double cyclesPerSecond_ = 0;
};

// The calling thread's CPU time in seconds (its clock counts nanoseconds on Linux).
double threadSeconds()
{
    return double(varnok::threadCpuTicks()) * 1e-9;
}

// Seconds of thread CPU time that work takes.
template <typename Work>
double timed(Work &&work)
{
    const double start = threadSeconds();
    work();
    return threadSeconds() - start;
}

// What choosing costs: a fresh chooser on 1 GiB (the shared buffer 16 times over, in 1 MiB
// calls as the file commands make them), its first round of timings included, against the
// fastest kernel alone on the same bytes. The two take turns call by call, so that load from
// elsewhere, which comes and goes within milliseconds on a shared machine, hits both alike.
void printChoosingCost(std::size_t fastest)
{
    constexpr int repetitions = 3;
    constexpr std::size_t call = std::size_t(1) << 20;
    auto &buffer = sharedBuffer();
    const auto kernels = varnok::rc4Kernels();
    std::vector<double> ratios;
    double chosenTotal = 0, aloneTotal = 0;
    std::size_t rounds = 0;
    for (int rep = 0; rep < repetitions; ++rep) {
        varnok::Rc4KernelChooser chooser(kernels);
        varnok::Rc4State chosenState, aloneState;
        chosenState.RC4ini(kKey);
        aloneState.RC4ini(kKey);
        double chosen = 0, alone = 0;
        for (std::size_t at = 0; at < 16 * buffer.size(); at += call) {
            const std::span bytes(buffer.data() + at % buffer.size(), call);
            auto withChooser = [&] {
                chosen += timed([&] { chooser.run(chosenState, bytes, bytes); });
            };
            auto fixed = [&] {
                alone += timed([&] { kernels[fastest].run(aloneState, bytes, bytes); });
            };
            if ((at / call) % 2 == 0) {
                withChooser();
                fixed();
            } else {
                fixed();
                withChooser();
            }
        }
        benchmark::ClobberMemory();
        ratios.push_back(chosen / alone);
        chosenTotal += chosen;
        aloneTotal += alone;
        rounds += chooser.rounds();
    }
    std::printf("\nChoosing as it goes, 1 GiB in 1 MiB calls, %d times: %.3f s against %.3f s for "
                "\"%s\" alone (means), %+.2f%%; median of the runs %+.2f%% (goal: at most "
                "+1%%). Rounds of timing every kernel: %.1f per GiB.\n",
                repetitions, chosenTotal / repetitions, aloneTotal / repetitions,
                std::string(kernels[fastest].name).c_str(), (chosenTotal / aloneTotal - 1) * 100,
                (median(ratios) - 1) * 100, double(rounds) / repetitions);
}

// Bytes after which the chooser runs the kernel it ends with, over the shared buffer in 64 KiB
// calls.
std::size_t bytesToSettle(varnok::Rc4KernelChooser &chooser)
{
    constexpr std::size_t call = std::size_t(64) << 10;
    auto &buffer = sharedBuffer();
    varnok::Rc4State rc4;
    rc4.RC4ini(kKey);
    std::size_t settled = 0;
    std::size_t last = chooser.currentIndex();
    for (std::size_t at = 0; at < buffer.size(); at += call) {
        const std::span bytes(buffer.data() + at, call);
        chooser.run(rc4, bytes, bytes);
        if (chooser.currentIndex() != last)
            settled = at + call;
        last = chooser.currentIndex();
    }
    return settled;
}

// How soon the choice settles: from nothing known; and after a simulated move from a core where
// the slowest kernel here was the fastest, by far or by a little.
void printConvergence()
{
    const auto kernels = varnok::rc4Kernels();
    varnok::Rc4KernelChooser fresh(kernels);
    const std::size_t cold = bytesToSettle(fresh);
    const std::vector<double> costs(fresh.costs().begin(), fresh.costs().end());
    const auto worst = std::size_t(std::max_element(costs.begin(), costs.end()) - costs.begin());
    std::printf("\nThe choice settles on \"%s\" after %.2f MiB from nothing known (64 KiB calls);",
                std::string(fresh.current().name).c_str(), double(cold) / (1 << 20));
    std::printf(" after a move off a core where \"%s\" (%.2fx the cost of \"%s\" here) was "
                "fastest",
                std::string(kernels[worst].name).c_str(), costs[worst],
                std::string(fresh.current().name).c_str());
    for (const double lead : {2.0, 1.1}) {
        std::vector<double> believed(costs.size(), lead);
        believed[worst] = 1;
        varnok::Rc4KernelChooser moved(kernels);
        moved.assumeCosts(believed);
        const std::size_t bytes = bytesToSettle(moved);
        std::printf("%s by %.0f%%: %.2f MiB (on \"%s\")", lead > 1.5 ? "" : ",", (lead - 1) * 100,
                    double(bytes) / (1 << 20), std::string(moved.current().name).c_str());
    }
    std::printf("\n");
}

// --per-core: MiB/s of OpenSSL, ours and each kernel on a 16 MiB buffer, pinned to one core,
// median of 5 interleaved repetitions.
struct CoreFigures
{
    double openssl = 0;
    double ours = 0;
    std::vector<double> kernels;
    std::string chosen;
};

CoreFigures measureThisCore()
{
    constexpr int repetitions = 5;
    const std::span bytes(sharedBuffer().data(), std::size_t(16) << 20);
    const double mib = double(bytes.size()) / (1 << 20);
    const auto kernels = varnok::rc4Kernels();
    OpenSslRc4 openssl;
    varnok::Rc4State ours;
    ours.RC4ini(kKey);
    std::vector<varnok::Rc4State> alone(kernels.size(), ours);
    std::vector<std::vector<double>> rates(kernels.size() + 2);
    // Each repetition runs them all, in turn forwards and backwards, so that no one always
    // follows the same other.
    std::vector<std::function<void()>> runs;
    runs.push_back([&] {
        if (openssl.ok())
            rates[0].push_back(mib / timed([&] { openssl.transform(bytes); }));
    });
    // Ours as the program runs it: the thread's own chooser, which follows the thread.
    runs.push_back([&] { rates[1].push_back(mib / timed([&] { ours.transform(bytes); })); });
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        runs.push_back([&, k] {
            rates[k + 2].push_back(mib / timed([&] { kernels[k].run(alone[k], bytes, bytes); }));
        });
    }
    for (int rep = 0; rep < repetitions; ++rep) {
        for (std::size_t r = 0; r < runs.size(); ++r)
            runs[rep % 2 == 0 ? r : runs.size() - 1 - r]();
    }
    CoreFigures figures;
    figures.openssl = median(rates[0]);
    figures.ours = median(rates[1]);
    for (std::size_t k = 0; k < kernels.size(); ++k)
        figures.kernels.push_back(median(rates[k + 2]));
    figures.chosen = std::string(varnok::threadRc4KernelChooser().current().name);
    return figures;
}

std::string cpuModel()
{
    std::ifstream info("/proc/cpuinfo");
    std::string line, name, family, model;
    while (std::getline(info, line) && (name.empty() || family.empty() || model.empty())) {
        auto value = [&line] { return line.substr(line.find(':') + 2); };
        if (name.empty() && line.rfind("model name", 0) == 0)
            name = value();
        else if (family.empty() && line.rfind("cpu family", 0) == 0)
            family = value();
        else if (model.empty() && line.rfind("model\t", 0) == 0)
            model = value();
    }
    return name + " (family " + family + ", model " + model + ")";
}

int perCore(int rounds, double everyMinutes)
{
    const auto kernels = varnok::rc4Kernels();
    std::printf("%s, %ld cores online. MiB/s on 16 MiB, median of 5, pinned to each core in turn;"
                " ratio = ours / OpenSSL.\n",
                cpuModel().c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("%-19s %5s %4s %8s %8s %6s  %-22s", "time", "round", "core", "OpenSSL", "ours",
                "ratio", "ours ran");
    for (const auto &kernel : kernels)
        std::printf(" %*s", int(std::max<std::size_t>(7, kernel.name.size())),
                    std::string(kernel.name).c_str());
    std::printf("  load\n");
    for (int round = 1; round <= rounds; ++round) {
        const auto roundStart = std::chrono::steady_clock::now();
        // Every core the system has online, whatever the process was started on.
        for (int cpu = 0; cpu < std::min<long>(CPU_SETSIZE, sysconf(_SC_NPROCESSORS_CONF)); ++cpu) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            if (sched_setaffinity(0, sizeof one, &one) != 0) {
                if (errno == EINVAL)
                    continue; // offline
                std::perror("sched_setaffinity");
                return 1;
            }
            const CoreFigures figures = measureThisCore();
            char when[32];
            const std::time_t now = std::time(nullptr);
            std::strftime(when, sizeof when, "%F %T", std::localtime(&now));
            double load = 0;
            getloadavg(&load, 1);
            std::printf("%-19s %5d %4d %8.1f %8.1f %5.3fx  %-22s", when, round, cpu,
                        figures.openssl, figures.ours, figures.ours / figures.openssl,
                        figures.chosen.c_str());
            for (std::size_t k = 0; k < kernels.size(); ++k)
                std::printf(" %*.1f", int(std::max<std::size_t>(7, kernels[k].name.size())),
                            figures.kernels[k]);
            std::printf("  %.2f\n", load);
            std::fflush(stdout);
        }
        if (round < rounds)
            std::this_thread::sleep_until(roundStart +
                                          std::chrono::duration<double>(everyMinutes * 60));
    }
    return 0;
}

// Takes --per-core, --rounds=N and --every=M out of the arguments; the rest is Google
// Benchmark's.
struct Options
{
    bool perCore = false;
    int rounds = 1;
    double everyMinutes = 5;
};

Options takeOptions(int &argc, char **argv)
{
    Options options;
    int kept = 1;
    for (int k = 1; k < argc; ++k) {
        const char *arg = argv[k];
        if (std::strcmp(arg, "--per-core") == 0)
            options.perCore = true;
        else if (std::strncmp(arg, "--rounds=", 9) == 0)
            options.rounds = std::max(1, std::atoi(arg + 9));
        else if (std::strncmp(arg, "--every=", 8) == 0)
            options.everyMinutes = std::max(0.0, std::atof(arg + 8));
        else
            argv[kept++] = argv[k];
    }
    argc = kept;
    return options;
}

} // namespace

BENCHMARK(BM_Rc4Bulk)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_OpenSslRc4)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Rc4PerByte)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char **argv)
{
    const Options options = takeOptions(argc, argv);
    if (options.perCore)
        return perCore(options.rounds, options.everyMinutes);
    // The first call calibrates: its time is what the program's first transform pays once.
    const auto start = std::chrono::steady_clock::now();
    const std::string chosen(varnok::chosenRc4Kernel().name);
    const std::chrono::duration<double, std::micro> calibration =
        std::chrono::steady_clock::now() - start;
    for (const auto &kernel : varnok::rc4Kernels())
        benchmark::RegisterBenchmark(kernelBenchmarkName(kernel).c_str(), BM_Rc4Kernel, &kernel)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(kRepetitions);
    RatioReporter reporter;
    const int status = varnok::bench::runInterleaved(argc, argv, &reporter);
    if (status == 0) {
        reporter.printSummary();
        std::printf("Each thread starts from the kernel \"%s\", which a calibration of %.0f us "
                    "picked, and then chooses by timing the kernels as it goes (\"%s\" at the end "
                    "here).\n",
                    chosen.c_str(), calibration.count(),
                    std::string(varnok::threadRc4KernelChooser().current().name).c_str());
        if (const auto fastest = reporter.fastestKernel())
            printChoosingCost(*fastest);
        printConvergence();
    }
    return status;
}
