// Pairs of benchmarks: an operation of the system beside its raw baseline, the
// platform or library calls that the operation cannot do without. Both halves
// run in the same iterations, one right after the other and in alternating
// order, so that a shared machine's changing load falls on both alike.
#pragma once
#include <benchmark/benchmark.h>
#include <functional>
#include <memory>
#include <string>

namespace moc_bench {

// One pair's world: made anew for each repetition.
class PairCase {
public:
    virtual ~PairCase() = default;
    // Untimed, before each timed call of either half: puts back what the
    // previous call changed.
    virtual void Prepare() {}
    // One call of the system's operation, and one of its baseline; each false
    // (with the reason in `why`) when it did not do what it should.
    virtual bool Ours(std::string* why) = 0;
    virtual bool Raw(std::string* why) = 0;
};

// Makes the case, or null with the reason in `why`.
using CaseFactory = std::function<std::unique_ptr<PairCase>(std::string* why)>;

// Fixed counts rather than a minimum time: the two halves may differ a
// hundredfold, and a count taken from the faster one would run the slower one
// for minutes.
struct PairOptions {
    // Calls of each half timed together; above 1 only for cases without Prepare,
    // so that the clock's own cost vanishes beside calls of a few microseconds.
    int batch = 1;
    int iterations = 20; // per repetition
    int repetitions = 20;
};

// Registers NAME. Its time is our half's per call; its counter "baseline" the
// raw half's (seconds per call).
void RegisterPair(const std::string& name, CaseFactory factory, PairOptions options);

// Runs the registered pairs with the library's flags and prints, after its own
// report, one line per pair that ran:
//   pair NAME OURS RAW s
// with the medians of the timed batches of every repetition, in seconds per call. A pair that
// failed is named on stderr and makes the exit status 1.
int RunPairs(int argc, char** argv);

} // namespace moc_bench
