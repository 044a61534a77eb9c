// How long the file list takes to re-read a folder of 100,000 files after one pattern change,
// against `ls -U` (the kernel's directory listing with no sorting) of the same folder.

#include "filelist.h"
#include "folderlist.h"
#include "folderscan.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int FileCount = 100'000;

QString g_folder;

// Names like a real download folder: mostly with extensions, some without.
QString generatedName(int i)
{
    static const char *const extensions[] = {".txt", ".txt", ".doc",    ".enc", ".jpg",
                                             ".pdf", ".TXT", ".tar.gz", "",     ""};
    return QStringLiteral("file-%1%2")
        .arg(i, 6, 10, QLatin1Char('0'))
        .arg(QString::fromLatin1(extensions[i % 10]));
}

bool fillFolder(const QString &folder)
{
    for (int i = 0; i < FileCount; ++i) {
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + generatedName(i));
        const int fd = ::open(path.constData(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            return false;
        ::close(fd);
    }
    return true;
}

// One keystroke's worth: set the pattern (a full re-read) and let the view lay the list out.
void BM_PatternChange(benchmark::State &state, const char *pattern)
{
    varnok::FileList list;
    list.resize(377, 210);
    list.show();
    list.setFolder(g_folder);
    QApplication::processEvents();
    const QString text = QString::fromLatin1(pattern);
    for (auto _ : state) {
        list.setPattern(text);
        QApplication::processEvents();
    }
    state.counters["entries"] = list.count();
}
BENCHMARK_CAPTURE(BM_PatternChange, all, "*.*")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PatternChange, txt, "*.txt")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_PatternChange, typing_t, "*.t")->Unit(benchmark::kMillisecond)->UseRealTime();

// What the end of a command costs: the folder has gained (or lost) the output, so the re-read
// decodes and sorts every name again, on a worker thread, and then the view lays the list out
// anew. Timed until the list shows the folder; longest_block_ms is the longest the window's
// event loop was held up meanwhile (the refresh call, or one pass of events).
void BM_RefreshAfterCommand(benchmark::State &state)
{
    varnok::FileList list;
    list.resize(377, 210);
    list.show();
    list.setFolder(g_folder);
    QApplication::processEvents();
    const QByteArray output = QFile::encodeName(g_folder + QStringLiteral("/file-000001.txt.enc"));
    bool present = false;
    bool done = false;
    QObject::connect(&list, &varnok::FileList::refreshed, &list, [&done] { done = true; });
    qint64 longest = 0;
    QElapsedTimer block;
    const auto timed = [&](const std::function<void()> &step) {
        block.start();
        step();
        longest = std::max(longest, block.nsecsElapsed());
    };
    for (auto _ : state) {
        state.PauseTiming();
        present = !present;
        const bool changed =
            present ? ::close(::open(output.constData(), O_CREAT | O_WRONLY, 0644)) == 0
                    : ::unlink(output.constData()) == 0;
        state.ResumeTiming();
        if (!changed) {
            state.SkipWithError("cannot change the folder");
            return;
        }
        done = false;
        timed([&list] { list.refresh(); });
        while (!done) {
            timed([] { QApplication::processEvents(); });
            QThread::usleep(100);
        }
    }
    if (present)
        ::unlink(output.constData());
    state.counters["entries"] = list.count();
    state.counters["longest_block_ms"] = double(longest) / 1e6;
}
BENCHMARK(BM_RefreshAfterCommand)->Unit(benchmark::kMillisecond)->UseRealTime();

// The folder list's part of a re-read: the same folder read for its subfolders, also on a
// worker thread, timed until the list shows it.
void BM_FolderListRefresh(benchmark::State &state)
{
    varnok::FolderList list;
    list.resize(377, 171);
    list.show();
    if (!list.setPath(g_folder)) {
        state.SkipWithError("cannot open the folder");
        return;
    }
    bool done = false;
    QObject::connect(&list, &varnok::FolderList::reread, &list, [&done] { done = true; });
    qint64 longest = 0;
    QElapsedTimer block;
    for (auto _ : state) {
        done = false;
        block.start();
        list.refresh();
        longest = std::max(longest, block.nsecsElapsed());
        while (!done) {
            block.start();
            QApplication::processEvents();
            longest = std::max(longest, block.nsecsElapsed());
            QThread::usleep(100);
        }
    }
    state.counters["longest_block_ms"] = double(longest) / 1e6;
}
BENCHMARK(BM_FolderListRefresh)->Unit(benchmark::kMillisecond)->UseRealTime();

// The folder read alone: a first read decodes and sorts every name, a read of the unchanged
// folder (what each keystroke in the pattern box costs) only compares the listing.
void BM_FolderRead(benchmark::State &state, bool unchanged)
{
    using varnok::FolderReader;
    FolderReader reader(FolderReader::Kind::Files);
    if (unchanged)
        reader.read(g_folder); // the first read, which decodes and sorts, is not timed
    for (auto _ : state) {
        if (!unchanged)
            reader = FolderReader(FolderReader::Kind::Files);
        auto entries = reader.read(g_folder);
        benchmark::DoNotOptimize(entries);
    }
}
BENCHMARK_CAPTURE(BM_FolderRead, first, false)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(BM_FolderRead, unchanged, true)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reference: the system's own listing of the same folder, output discarded.
void BM_LsUnsorted(benchmark::State &state)
{
    for (auto _ : state) {
        QProcess ls;
        ls.setStandardOutputFile(QProcess::nullDevice());
        ls.start(QStringLiteral("ls"), {QStringLiteral("-U"), g_folder});
        if (!ls.waitForFinished(-1) || ls.exitCode() != 0) {
            state.SkipWithError("ls -U failed");
            return;
        }
    }
}
BENCHMARK(BM_LsUnsorted)->Unit(benchmark::kMillisecond)->UseRealTime();

// Keeps each benchmark's time per iteration (the median when repetitions are asked for) so the
// ratios can be printed at the end.
class RecordingReporter final : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (run.error_occurred)
                continue;
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                times[name] = run.GetAdjustedRealTime();
            else if (run.run_type == Run::RT_Iteration && !medians.count(name))
                times[name] = run.GetAdjustedRealTime();
            if (run.run_type == Run::RT_Aggregate)
                medians.insert(name);
        }
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> times;

private:
    std::set<std::string> medians;
};

void printRatios(const std::map<std::string, double> &times)
{
    const auto reference = times.find("BM_LsUnsorted/real_time");
    if (reference == times.end())
        return;
    std::printf("\nRatios against ls -U of the same %d-file folder (same run):\n", FileCount);
    for (const auto &[name, time] : times) {
        if (name != reference->first)
            std::printf("  %-40s %6.2f x\n", name.c_str(), time / reference->second);
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);

    const QTemporaryDir folder(QStringLiteral("/tmp/bench_picker-XXXXXX"));
    if (!folder.isValid() || !fillFolder(folder.path())) {
        std::fprintf(stderr, "cannot create the test folder in /tmp\n");
        return 1;
    }
    g_folder = folder.path();

    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    printRatios(reporter.times);
    return 0;
}
