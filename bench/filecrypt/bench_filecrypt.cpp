// The Encrypt command end to end on a 1 GiB file (page cache warm), run directly and as the
// window runs it (on a thread of its own), in one run, against:
//  - the bulk transform alone on 1 GiB in memory: the command's time up to its final flush
//    should be little more, as the file reads and writes run beside the cipher (and, stricter,
//    the same work done on one cache-resident block, as the command's blocks are);
//  - `openssl enc -rc4` on the same file followed by an fsync of its output: the command
//    finishes with its output on disk, so this is the like-for-like figure (openssl without the
//    fsync is printed too);
// and `varnok-cli encrypt` on the same file, the whole program from its start with its password
// on standard input, against the command run as the window runs it (in this process) and
// against openssl with the fsync;
// and the command's peak memory above the process's baseline for a 1 GiB and a 4 GiB file.
//
// Every timed run writes a new output (the old one is removed beforehand), after a sync, so
// that the writeback of an earlier run does not weigh on a later one. Repetitions of the
// timed benchmarks are interleaved, so that a busy moment of the shared machine hits all alike.

#include "codepage1252.h"
#include "commandhost.h"
#include "commandthread.h"
#include "filecommands.h"
#include "rc4.h"

#include "benchsupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr qint64 kFileSize = qint64(1) << 30;
constexpr int kRepetitions = 3;
const QString kPassword = QStringLiteral("bench password!1");

// When the output's final flush to disk began: the command's last step before it renames the
// output into place.
std::optional<Clock::time_point> flushStarted;

} // namespace

// The command syncs its output with fsync() before it renames it into place, and then syncs
// the folder. Taking the call over here (it then does the real one) marks where the command
// stops moving bytes and starts waiting for the disk: the first call of a run.
extern "C" int fsync(int fd)
{
    if (!flushStarted)
        flushStarted = Clock::now();
    using Call = int (*)(int);
    static const auto real = reinterpret_cast<Call>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

namespace {

// The 1 GiB input, random bytes written once under /tmp and removed at exit, and the same
// bytes in memory for the bulk transform alone.
struct Workspace
{
    QTemporaryDir dir{QStringLiteral("/tmp/varnok-bench-XXXXXX")};
    std::vector<std::uint8_t> bytes;
    bool ready = false;

    QString path(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }

    Workspace()
        : bytes(std::size_t(kFileSize))
    {
        std::mt19937_64 rng(7);
        for (auto &b : bytes)
            b = std::uint8_t(rng());
        QFile file(path("input.bin"));
        ready = dir.isValid() && file.open(QIODevice::WriteOnly) &&
                file.write(reinterpret_cast<const char *>(bytes.data()), kFileSize) == kFileSize &&
                file.flush();
        file.close();
        ::sync();
        // Warm the page cache: every timed run reads the input from memory.
        ready = ready && QFile(path("input.bin")).open(QIODevice::ReadOnly);
    }
};

Workspace &workspace()
{
    static Workspace ws;
    return ws;
}

class BenchHost final : public varnok::CommandHost
{
public:
    QString folder;
    QString name;
    QStringList messages;

    QString passwordText() override { return kPassword; }
    QString folderPath() override { return folder; }
    QString fileName() override { return name; }
    void showBusyPointer() override {}
    void showDefaultPointer() override {}
    void showMessage(const QString &text) override { messages << text; }
    bool confirmReplace(const QString &, const QString &) override { return true; }
};

std::map<std::string, std::vector<double>> seconds; // wall time of every run, by label

using varnok::bench::median;

double best(const std::vector<double> &values)
{
    return values.empty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

// Runs work once per iteration after removing `output` and syncing; work returns whether it
// succeeded. Records the wall time under label.
template <typename Work>
void timeRuns(benchmark::State &state, const std::string &label, const char *output, Work work)
{
    if (!workspace().ready) {
        state.SkipWithError("could not write the 1 GiB input under /tmp");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        if (output)
            QFile::remove(workspace().path(output));
        ::sync();
        state.ResumeTiming();
        const auto start = Clock::now();
        if (!work(start)) {
            state.SkipWithError("the run failed");
            return;
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        state.SetIterationTime(took.count());
        seconds[label].push_back(took.count());
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

bool runEncryptCommand(const QString &name)
{
    varnok::Rc4State cipher;
    BenchHost host;
    host.folder = workspace().dir.path();
    host.name = name;
    varnok::FileCommands(cipher, host).encrypt();
    for (const auto &m : host.messages)
        std::fprintf(stderr, "%s\n", qPrintable(m));
    return host.messages.isEmpty();
}

QByteArray keyBytes()
{
    const auto key = varnok::toWindows1252(kPassword.toStdU16String());
    return QByteArray(reinterpret_cast<const char *>(key->data()), qsizetype(key->size()));
}

void BM_TransformInMemory(benchmark::State &state)
{
    const QByteArray key = keyBytes();
    timeRuns(state, "transform", nullptr, [&key](Clock::time_point) {
        varnok::Rc4State cipher;
        cipher.RC4ini(std::span(reinterpret_cast<const std::uint8_t *>(key.data()), key.size()));
        cipher.transform(workspace().bytes);
        benchmark::ClobberMemory();
        return true;
    });
}

// The stricter reference: the same 1 GiB of cipher work on one cache-resident 1 MiB block, as
// the command's blocks are, without the memory traffic of a 1 GiB buffer.
void BM_TransformInCache(benchmark::State &state)
{
    const QByteArray key = keyBytes();
    timeRuns(state, "transform in cache", nullptr, [&key](Clock::time_point) {
        varnok::Rc4State cipher;
        cipher.RC4ini(std::span(reinterpret_cast<const std::uint8_t *>(key.data()), key.size()));
        const std::span<std::uint8_t> block(workspace().bytes.data(), std::size_t(1) << 20);
        for (qint64 done = 0; done < kFileSize; done += qint64(block.size()))
            cipher.transform(block);
        benchmark::ClobberMemory();
        return true;
    });
}

void BM_EncryptCommand(benchmark::State &state)
{
    timeRuns(state, "command", "input.bin.enc", [](Clock::time_point start) {
        flushStarted.reset();
        if (!runEncryptCommand(QStringLiteral("input.bin")) || !flushStarted)
            return false;
        seconds["command to flush"].push_back(
            std::chrono::duration<double>(*flushStarted - start).count());
        return true;
    });
}

// The window's way to run it: the command on a thread of its own, each call to its host (the
// progress reports among them) carried over to the window's thread, here the benchmark's.
bool runThroughWindowRunner()
{
    BenchHost host;
    host.folder = workspace().dir.path();
    host.name = QStringLiteral("input.bin");
    varnok::CommandThread runner(host);
    const auto end = runner.run(&varnok::FileCommands::encrypt);
    for (const auto &m : host.messages)
        std::fprintf(stderr, "%s\n", qPrintable(m));
    return end == varnok::CommandThread::End::Ended && host.messages.isEmpty();
}

void BM_EncryptThroughWindowRunner(benchmark::State &state)
{
    timeRuns(state, "window's runner", "input.bin.enc",
             [](Clock::time_point) { return runThroughWindowRunner(); });
}

bool runOpenssl(bool sync)
{
    const QString output = workspace().path("openssl.bin");
    const int status = QProcess::execute(
        QStringLiteral("openssl"),
        {"enc", "-rc4", "-nosalt", "-K", QString::fromLatin1(keyBytes().toHex()), "-provider",
         "legacy", "-provider", "default", "-in", workspace().path("input.bin"), "-out", output});
    if (status != 0 || QFile(output).size() != kFileSize)
        return false;
    if (!sync)
        return true;
    const int fd = ::open(QFile::encodeName(output).constData(), O_WRONLY);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    if (fd >= 0)
        ::close(fd);
    return synced;
}

bool runCli()
{
    QProcess cli;
    cli.setWorkingDirectory(workspace().dir.path());
    cli.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    cli.start(QStringLiteral(VARNOK_CLI_PROGRAM), {"encrypt", "--", "input.bin"});
    cli.write(kPassword.toUtf8() + '\n');
    cli.closeWriteChannel();
    return cli.waitForFinished(-1) && cli.exitStatus() == QProcess::NormalExit &&
           cli.exitCode() == 0;
}

void BM_CliEncrypt(benchmark::State &state)
{
    timeRuns(state, "varnok-cli", "input.bin.enc", [](Clock::time_point) { return runCli(); });
}

void BM_OpensslEnc(benchmark::State &state)
{
    timeRuns(state, "openssl", "openssl.bin", [](Clock::time_point) { return runOpenssl(false); });
}

void BM_OpensslEncThenFsync(benchmark::State &state)
{
    timeRuns(state, "openssl+fsync", "openssl.bin",
             [](Clock::time_point) { return runOpenssl(true); });
}

// kB figure of one line of /proc/self/status, e.g. "VmHWM:".
qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field)))
                .trimmed()
                .split(' ')
                .value(0)
                .toLongLong();
    return -1;
}

// Resets the peak (VmHWM) to the current resident size, so the next peak is this run's.
bool resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}

std::map<qint64, qint64> peakGrowthKiB; // by file size in GiB

// The 4 GiB input is sparse: its bytes cost no disk and no time to make, and memory use does
// not depend on what they are.
void BM_EncryptPeakMemory(benchmark::State &state)
{
    const qint64 gib = state.range(0);
    const QString name = gib == 1 ? QStringLiteral("input.bin") : QStringLiteral("sparse.bin");
    const QString input = workspace().dir.filePath(name);
    if (!workspace().ready || (gib != 1 && !(QFile(input).open(QIODevice::WriteOnly) &&
                                             QFile::resize(input, gib << 30)))) {
        state.SkipWithError("could not write the input under /tmp");
        return;
    }
    for (auto _ : state) {
        QFile::remove(input + QStringLiteral(".enc"));
        // Give freed heap back first, so that blocks resident from earlier runs in this
        // process do not hide what this run needs.
        ::malloc_trim(0);
        if (!resetPeak()) {
            state.SkipWithError("cannot reset the peak resident size (/proc/self/clear_refs)");
            return;
        }
        const qint64 baseline = statusKiB("VmRSS:");
        const auto start = Clock::now();
        if (!runEncryptCommand(name)) {
            state.SkipWithError("the run failed");
            return;
        }
        const std::chrono::duration<double> took = Clock::now() - start;
        peakGrowthKiB[gib] = statusKiB("VmHWM:") - baseline;
        state.SetIterationTime(took.count());
    }
    if (gib != 1) {
        QFile::remove(input);
        QFile::remove(input + QStringLiteral(".enc"));
    }
    state.counters["peak_growth_MiB"] = double(peakGrowthKiB[gib]) / 1024;
    state.counters["file_MiB"] = double(gib << 10);
}

void timed(benchmark::internal::Benchmark *b)
{
    b->Iterations(1)->Repetitions(kRepetitions)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_TransformInMemory)->Apply(timed);
BENCHMARK(BM_TransformInCache)->Apply(timed);
BENCHMARK(BM_EncryptCommand)->Apply(timed);
BENCHMARK(BM_EncryptThroughWindowRunner)->Apply(timed);
BENCHMARK(BM_CliEncrypt)->Apply(timed);
BENCHMARK(BM_OpensslEnc)->Apply(timed);
BENCHMARK(BM_OpensslEncThenFsync)->Apply(timed);
BENCHMARK(BM_EncryptPeakMemory)
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

void printRatio(const char *what, const char *numerator, const char *denominator, const char *goal)
{
    const auto &top = seconds[numerator];
    const auto &bottom = seconds[denominator];
    if (top.empty() || bottom.empty())
        return;
    std::printf("%s: %.2f s / %.2f s = %.2fx from the medians, %.2fx from the best runs (%s)\n",
                what, median(top), median(bottom), median(top) / median(bottom),
                best(top) / best(bottom), goal);
}

void printSummary()
{
    std::printf("\nEncrypt command on a 1 GiB file, %d runs each (interleaved):\n", kRepetitions);
    printRatio("command up to its final flush / bulk transform of 1 GiB in memory",
               "command to flush", "transform", "goal: at most 1.1x");
    printRatio("command up to its final flush / the same cipher work on one 1 MiB block in cache",
               "command to flush", "transform in cache", "stricter, for context");
    printRatio("command, flush included / (openssl enc -rc4 + fsync)", "command", "openssl+fsync",
               "goal: at most 0.4x");
    printRatio("command, flush included / openssl enc -rc4 without fsync", "command", "openssl",
               "for context");
    printRatio("command through the window's runner / (openssl enc -rc4 + fsync)",
               "window's runner", "openssl+fsync", "goal: at most 0.4x");
    printRatio("command through the window's runner / the command alone", "window's runner",
               "command", "for context");
    printRatio("varnok-cli encrypt / the command, flush included", "varnok-cli", "command",
               "goal: at most 1.05x");
    printRatio("varnok-cli encrypt / (openssl enc -rc4 + fsync)", "varnok-cli", "openssl+fsync",
               "goal: at most 0.5x");
    for (const auto &[gib, kib] : peakGrowthKiB)
        std::printf("peak memory of the command above the process's baseline, %lld GiB file: "
                    "%.1f MiB (goal: under 64 MiB)\n",
                    gib, double(kib) / 1024);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int status = varnok::bench::runInterleaved(argc, argv);
    if (status == 0)
        printSummary();
    return status;
}
