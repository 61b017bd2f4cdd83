#include "bench/pairs.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

namespace moc_bench {
namespace {

constexpr const char* kBaselineCounter = "baseline";

std::vector<std::string>& PairNames() {
    static std::vector<std::string> names;
    return names;
}

// Seconds per call of each timed batch, by pair: the medians of these, not of
// the library's per-repetition means, make the table, so that a batch that
// lost its processor to another program weighs no more than any other.
struct Samples {
    std::vector<double> ours, raw;
};
std::map<std::string, Samples>& SamplesByPair() {
    static std::map<std::string, Samples> samples;
    return samples;
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    double upper = values[middle];
    if (values.size() % 2 != 0)
        return upper;
    return (upper + *std::max_element(values.begin(), values.begin() + middle)) / 2;
}

// Seconds that `batch` calls of `call` took; negative when one failed.
template <class Call> double TimeBatch(int batch, Call call) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < batch; ++i) {
        if (!call())
            return -1;
    }
    const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
    return spent.count();
}

void RunPair(benchmark::State& state, const std::string& name, const CaseFactory& factory,
             int batch) {
    std::string why;
    std::unique_ptr<PairCase> pair = factory(&why);
    if (!pair) {
        state.SkipWithError(why.c_str());
        return;
    }
    Samples& samples = SamplesByPair()[name];
    double rawSeconds = 0;
    bool oursFirst = true;
    for (auto _ : state) {
        double ours = 0, raw = 0;
        const auto timeOurs = [&] {
            pair->Prepare();
            ours = TimeBatch(batch, [&] { return pair->Ours(&why); });
        };
        const auto timeRaw = [&] {
            pair->Prepare();
            raw = TimeBatch(batch, [&] { return pair->Raw(&why); });
        };
        if (oursFirst) {
            timeOurs();
            timeRaw();
        } else {
            timeRaw();
            timeOurs();
        }
        oursFirst = !oursFirst;
        if (ours < 0 || raw < 0) {
            state.SkipWithError(why.c_str());
            break;
        }
        state.SetIterationTime(ours / batch);
        rawSeconds += raw / batch;
        samples.ours.push_back(ours / batch);
        samples.raw.push_back(raw / batch);
    }
    state.counters[kBaselineCounter] =
        benchmark::Counter(rawSeconds, benchmark::Counter::kAvgIterations);
}

// Keeps the console report and notes the pairs that failed.
class PairReporter : public benchmark::ConsoleReporter {
public:
    using ConsoleReporter::ConsoleReporter;
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred)
                errors_[run.run_name.function_name] = run.error_message;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    const std::map<std::string, std::string>& Errors() const { return errors_; }

private:
    std::map<std::string, std::string> errors_;
};

} // namespace

void RegisterPair(const std::string& name, CaseFactory factory, PairOptions options) {
    const int batch = options.batch;
    benchmark::RegisterBenchmark(
        name.c_str(),
        [name, factory, batch](benchmark::State& state) { RunPair(state, name, factory, batch); })
        ->Unit(benchmark::kMicrosecond)
        ->UseManualTime()
        ->Iterations(options.iterations)
        ->Repetitions(options.repetitions)
        ->ReportAggregatesOnly(true);
    PairNames().push_back(name);
}

int RunPairs(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    PairReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    int status = 0;
    for (const std::string& name : PairNames()) {
        auto error = reporter.Errors().find(name);
        if (error != reporter.Errors().end()) {
            std::fprintf(stderr, "%s failed: %s\n", name.c_str(), error->second.c_str());
            status = 1;
        }
        // A pair left out by a filter has no line.
        auto found = SamplesByPair().find(name);
        if (found != SamplesByPair().end() && !found->second.ours.empty())
            std::printf("pair %s %.9g %.9g s\n", name.c_str(), Median(found->second.ours),
                        Median(found->second.raw));
    }
    std::fflush(stdout);
    return status;
}

} // namespace moc_bench
