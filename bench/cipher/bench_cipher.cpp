// RC4 throughput on one 64 MiB buffer: our bulk transform (with the kernel it chose) and each
// of its kernels against OpenSSL's EVP RC4 (legacy provider) in the same run, with the per-byte
// reference for context. Repetitions are
// interleaved so that a busy moment of the (shared) machine hits both alike, and timed in CPU
// time so that waiting for a core while others run is not counted. The summary prints each
// one's best, median and worst throughput and its ratio to OpenSSL's.

#include "rc4.h"
#include "rc4kernels.h"

#include "benchsupport.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
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
    bool transform(std::vector<std::uint8_t> &bytes)
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

    void printSummary() const
    {
        const auto theirs = sortedRates("BM_OpenSslRc4");
        std::printf("\nRC4 on one %zu MiB buffer, MiB/s as best / median / worst repetition, and"
                    " the ratio to OpenSSL's median / best:\n",
                    kBufferSize >> 20);
        printRates("OpenSSL EVP", theirs, theirs);
        printRates("ours (bulk)", sortedRates("BM_Rc4Bulk"), theirs);
        for (const auto &kernel : varnok::rc4Kernels())
            printRates(("kernel " + std::string(kernel.name)).c_str(),
                       sortedRates(kernelBenchmarkName(kernel)), theirs);
        printRates("per-byte", sortedRates("BM_Rc4PerByte"), theirs);
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

    static void printRates(const char *label, const std::vector<double> &rates,
                           const std::vector<double> &reference)
    {
        if (rates.empty())
            return;
        std::printf("  %-34s %7.1f / %7.1f / %7.1f", label, rates.front(), median(rates),
                    rates.back());
        if (!reference.empty())
            std::printf("   %.3fx / %.3fx", median(rates) / median(reference),
                        rates.front() / reference.front());
        std::printf("\n");
    }

    static double median(const std::vector<double> &rates) { return varnok::bench::median(rates); }

    std::map<std::string, std::vector<double>> seconds_;
};

} // namespace

BENCHMARK(BM_Rc4Bulk)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_OpenSslRc4)->Unit(benchmark::kMillisecond)->Repetitions(kRepetitions);
BENCHMARK(BM_Rc4PerByte)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char **argv)
{
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
        std::printf("The bulk transform chose the kernel \"%s\" in a calibration of %.0f us.\n",
                    chosen.c_str(), calibration.count());
    }
    return status;
}
