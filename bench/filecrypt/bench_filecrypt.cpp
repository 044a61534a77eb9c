// The Encrypt command end to end on a 1 GiB file, against `openssl enc -rc4` on the same file
// in the same run; and the command's peak memory above the process's baseline.
//
// The command finishes with its output flushed to disk (the output replaces the old one only
// once all bytes are there); openssl does not sync. So openssl is measured twice: as is, and
// followed by an fsync of its output, which is the like-for-like figure.
//
// The summary prints medians and the ratios command / openssl (above 1: the command is slower).

#include "codepage1252.h"
#include "commandhost.h"
#include "filecommands.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr qint64 kFileSize = qint64(1) << 30;
constexpr int kRepetitions = 3;
const QString kPassword = QStringLiteral("bench password!1");

// The 1 GiB input, written once in 1 MiB pieces (so that building it does not raise the
// process's peak memory) under /tmp and removed at exit.
struct Workspace
{
    QTemporaryDir dir{QStringLiteral("/tmp/varnok-bench-XXXXXX")};
    QString input() const { return dir.filePath(QStringLiteral("input.bin")); }
    bool ready = false;

    Workspace()
    {
        QFile file(input());
        if (!dir.isValid() || !file.open(QIODevice::WriteOnly))
            return;
        std::mt19937_64 rng(7);
        QByteArray piece(1 << 20, Qt::Uninitialized);
        for (qint64 written = 0; written < kFileSize; written += piece.size()) {
            for (auto &b : piece)
                b = char(rng());
            if (file.write(piece) != piece.size())
                return;
        }
        ready = file.flush();
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
    bool confirmReplace(const QString &) override { return true; }
};

std::map<std::string, std::vector<double>> seconds; // wall time of every run, by benchmark

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

template <typename Work>
void timeRuns(benchmark::State &state, const std::string &label, Work work)
{
    if (!workspace().ready) {
        state.SkipWithError("could not write the 1 GiB input under /tmp");
        return;
    }
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        if (!work()) {
            state.SkipWithError("the run failed");
            return;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        seconds[label].push_back(took.count());
    }
    state.SetBytesProcessed(state.iterations() * kFileSize);
}

bool runEncryptCommand()
{
    varnok::Rc4State cipher;
    BenchHost host;
    host.folder = workspace().dir.path();
    host.name = QStringLiteral("input.bin");
    varnok::FileCommands(cipher, host).encrypt();
    for (const auto &m : host.messages)
        std::fprintf(stderr, "%s\n", qPrintable(m));
    return host.messages.isEmpty();
}

QString keyHex()
{
    const auto key = varnok::toWindows1252(kPassword.toStdU16String());
    return QByteArray(reinterpret_cast<const char *>(key->data()), qsizetype(key->size())).toHex();
}

bool runOpenssl(bool sync)
{
    const QString output = workspace().dir.filePath(QStringLiteral("openssl.bin"));
    const int status =
        QProcess::execute(QStringLiteral("openssl"),
                          {"enc", "-rc4", "-nosalt", "-K", keyHex(), "-provider", "legacy",
                           "-provider", "default", "-in", workspace().input(), "-out", output});
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

void BM_EncryptCommand(benchmark::State &state)
{
    timeRuns(state, "command", runEncryptCommand);
}

void BM_OpensslEnc(benchmark::State &state)
{
    timeRuns(state, "openssl", [] { return runOpenssl(false); });
}

void BM_OpensslEncThenFsync(benchmark::State &state)
{
    timeRuns(state, "openssl+fsync", [] { return runOpenssl(true); });
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

qint64 peakGrowthKiB = -1;

void BM_EncryptPeakMemory(benchmark::State &state)
{
    if (!workspace().ready) {
        state.SkipWithError("could not write the 1 GiB input under /tmp");
        return;
    }
    for (auto _ : state) {
        // Give freed heap back first, so that blocks resident from earlier runs in this
        // process do not hide what this run needs.
        ::malloc_trim(0);
        if (!resetPeak()) {
            state.SkipWithError("cannot reset the peak resident size (/proc/self/clear_refs)");
            return;
        }
        const qint64 baseline = statusKiB("VmRSS:");
        const auto start = std::chrono::steady_clock::now();
        if (!runEncryptCommand()) {
            state.SkipWithError("the run failed");
            return;
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        peakGrowthKiB = statusKiB("VmHWM:") - baseline;
        state.SetIterationTime(took.count());
    }
    state.counters["peak_growth_MiB"] = double(peakGrowthKiB) / 1024;
    state.counters["file_MiB"] = double(kFileSize >> 20);
}

BENCHMARK(BM_EncryptCommand)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslEnc)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpensslEncThenFsync)
    ->Iterations(1)
    ->Repetitions(kRepetitions)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncryptPeakMemory)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

void printSummary()
{
    const double command = median(seconds["command"]);
    const double openssl = median(seconds["openssl"]);
    const double synced = median(seconds["openssl+fsync"]);
    if (command > 0)
        std::printf("\nEncrypt command on 1 GiB, median of %d: %.2f s\n", kRepetitions, command);
    if (openssl > 0 && synced > 0)
        std::printf("openssl enc -rc4: %.2f s; followed by an fsync of its output: %.2f s\n",
                    openssl, synced);
    if (command > 0 && openssl > 0 && synced > 0)
        std::printf("ratio command / openssl: %.2fx; command / (openssl + fsync): %.2fx\n",
                    command / openssl, command / synced);
    if (peakGrowthKiB >= 0)
        std::printf("peak memory of the command above the process's baseline: %.1f MiB "
                    "(file: %lld MiB)\n",
                    double(peakGrowthKiB) / 1024, kFileSize >> 20);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    printSummary();
    return 0;
}
