#pragma once

// Two Google Benchmark functions measured side by side: a round of each,
// several rounds in turn, so that a drift of the machine hits both alike.
// Prints Google Benchmark's table, then one line
//     <figure>: <ours over baseline> (<ours> X ms, <baseline> Y ms)
// with the mean real time per iteration of each side.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sidebyside {

struct Side {
    std::string label;     // "raw", "driver", ...
    std::string benchmark; // "BM_AttachDetach_Raw"
    void (*function)(benchmark::State& state);
};

// Sums each side's real time and iterations over its rounds.
class Totals : public benchmark::ConsoleReporter {
public:
    explicit Totals(std::string oursBenchmark)
        : ConsoleReporter(OO_None)
        , ours_(std::move(oursBenchmark)) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            auto& t = totals_[run.benchmark_name().find(ours_) != std::string::npos];
            t.first += run.GetAdjustedRealTime() * static_cast<double>(run.iterations);
            t.second += static_cast<double>(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Mean milliseconds per iteration of our side (true) or the baseline's.
    double perIteration(bool ours) const {
        const auto it = totals_.find(ours);
        return it == totals_.end() || it->second.second == 0 ? 0 : it->second.first / it->second.second;
    }

private:
    std::string ours_;
    std::map<bool, std::pair<double, double>> totals_;
};

inline int run(int argc, char** argv, const char* figure, const Side& baseline, const Side& ours,
               int rounds = 4, int iterations = 10) {
    for (int round = 0; round < rounds; ++round) {
        for (const Side* side : {&baseline, &ours})
            benchmark::RegisterBenchmark((side->benchmark + "/round:" + std::to_string(round)).c_str(),
                                         side->function)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime()
                ->Iterations(iterations);
    }
    benchmark::Initialize(&argc, argv);
    Totals totals(ours.benchmark);
    benchmark::RunSpecifiedBenchmarks(&totals);
    benchmark::Shutdown();
    const double base = totals.perIteration(false);
    const double mine = totals.perIteration(true);
    if (base > 0 && mine > 0)
        std::printf("%s: %.3f (%s %.1f ms, %s %.1f ms)\n", figure, mine / base, ours.label.c_str(), mine,
                    baseline.label.c_str(), base);
    return 0;
}

} // namespace sidebyside
