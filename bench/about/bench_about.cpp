// One frame of the About window's credits on its real surfaces (the loaded window with its
// picture and the 23 credit lines), against the 20 ms the timer allows a frame and against
// copying the band alone, which is all a frame would cost if composing were free. Both run in
// the same process, repetitions interleaved; the summary prints the ratios from the medians.

#include "frmabout.h"

#include "benchsupport.h"

#include <QApplication>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr int kRepetitions = 9;
constexpr double kTickMs = 20.0;

// The About window, loaded and shown by main().
varnok::frmAbout *theForm = nullptr;

varnok::frmAbout &loadedForm()
{
    return *theForm;
}

void BM_DrawFrame(benchmark::State &state)
{
    auto &form = loadedForm();
    const varnok::ScrollerSurfaces surfaces = form.surfaces();
    for (auto _ : state) {
        form.scroller().DrawFrame(surfaces);
        benchmark::ClobberMemory();
    }
}

void BM_CopyBandOnly(benchmark::State &state)
{
    auto &form = loadedForm();
    const varnok::ScrollerSurfaces surfaces = form.surfaces();
    const auto &scroller = form.scroller();
    for (auto _ : state) {
        surfaces.picOut->copyFrom(scroller.bufLeft, scroller.bufTop, scroller.bufWidth,
                                  scroller.bufHeight, *surfaces.picBuffer, 0, 0);
        benchmark::ClobberMemory();
    }
}

// Prints as usual and keeps each repetition's time per frame for the summary.
class RatioReporter : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run> &reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const Run &run : reports)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred)
                times_[run.run_name.function_name].push_back(run.GetAdjustedRealTime());
    }

    void printSummary() const
    {
        const auto frame = times_.find("BM_DrawFrame");
        const auto copy = times_.find("BM_CopyBandOnly");
        if (frame == times_.end() || copy == times_.end()) {
            std::printf("\nNo ratio: both BM_DrawFrame and BM_CopyBandOnly must run.\n");
            return;
        }
        const double frameUs = varnok::bench::median(frame->second);
        const double copyUs = varnok::bench::median(copy->second);
        std::printf("\nMedians of %zu / %zu repetitions:\n", frame->second.size(),
                    copy->second.size());
        std::printf("  one DrawFrame     %8.2f us = %.2f%% of the %.0f ms tick\n", frameUs,
                    100.0 * frameUs / (kTickMs * 1000.0), kTickMs);
        std::printf("  band copy alone   %8.2f us\n", copyUs);
        std::printf("Ratio DrawFrame / band copy: %.1f\n", frameUs / copyUs);
    }

private:
    std::map<std::string, std::vector<double>> times_;
};

} // namespace

BENCHMARK(BM_DrawFrame)->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions)->UseRealTime();
BENCHMARK(BM_CopyBandOnly)->Unit(benchmark::kMicrosecond)->Repetitions(kRepetitions)->UseRealTime();

int main(int argc, char **argv)
{
    // No screen is needed to compose frames.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    varnok::frmAbout form(varnok::aboutPicture());
    form.Show();
    // The benchmark draws the frames itself.
    form.window()->findChild<QTimer *>(QStringLiteral("ReDrawTimer"))->stop();
    QCoreApplication::processEvents();
    theForm = &form;

    RatioReporter reporter;
    const int status = varnok::bench::runInterleaved(argc, argv, &reporter);
    if (status == 0)
        reporter.printSummary();
    return status;
}
