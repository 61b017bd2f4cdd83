// What the loaded library holds after 100 and after 10,000 sign-ins at the
// lock screen, and after 100 and after 1,000 rounds of enrolling a second
// finger and deleting it, in a process of its own so that nothing else has
// raised the peak: the peak resident size, and exactly the live blocks and
// bytes of the stand-in's process heap, of the C++ heap and of the C heap
// (which holds the other two, and what C code such as Mbed TLS takes with
// malloc). A resident size cannot show a leak of a few bytes per call; the
// counts can, and between the two marks of each road they must not move.
// Prints for scripts/bench.sh, per figure,
//   pair memory/NAME AT_THE_LATER_MARK AT_THE_EARLIER_MARK UNIT
// (memory/growth is the resident size of the sign-ins); a count that moved is
// named on stderr and makes the exit status 1.
#include <sys/resource.h>
#include <cstdio>
#include <string>
#include "bench/counting_malloc.h"
#include "bench/counting_new.h"
#include "bench/sign_in.h"
#include "platform/test.h"

namespace {

struct Held {
    long residentKiB = 0;
    size_t heapBlocks = 0, heapBytes = 0;
    moc_bench::LiveBlocks cpp, c;
};

Held Now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    Held held;
    held.residentKiB = usage.ru_maxrss; // peak, in KiB on Linux
    held.heapBlocks = platform::test::LiveHeapBlocks();
    held.heapBytes = platform::test::LiveHeapBytes();
    held.cpp = moc_bench::LiveNewBlocks();
    held.c = moc_bench::LiveMallocBlocks();
    return held;
}

// One road walked again and again: its name in the figures, the name of its
// resident-size figure, its two marks and one walk.
struct Road {
    const char* name;
    const char* resident;
    int marks[2];
    bool (moc_bench::SignInBench::*walk)(std::string* why);
};

const Road kRoads[] = {
    {"signin", "growth", {100, 10000}, &moc_bench::SignInBench::SignIn},
    {"enroll", "enroll_growth", {100, 1000}, &moc_bench::SignInBench::EnrollAndDelete},
};

// Walks the road up to each of its two marks; false (with the reason on
// stderr) when a walk failed.
bool TwoMarks(moc_bench::SignInBench& bench, const Road& road, Held held[2]) {
    int done = 0;
    for (int m = 0; m < 2; ++m) {
        for (; done < road.marks[m]; ++done) {
            std::string why;
            bench.ForgetRequests();
            if (!(bench.*road.walk)(&why)) {
                std::fprintf(stderr, "memory/%s failed at round %d: %s\n", road.name, done + 1,
                             why.c_str());
                return false;
            }
        }
        held[m] = Now();
    }
    return true;
}

// One figure at both marks; false when a count moved.
bool Report(const std::string& name, size_t later, size_t earlier, const char* unit, bool exact) {
    std::printf("pair memory/%s %zu %zu %s\n", name.c_str(), later, earlier, unit);
    if (!exact || later == earlier)
        return true;
    std::fprintf(stderr, "memory/%s failed: %zu %s, then %zu\n", name.c_str(), earlier, unit,
                 later);
    return false;
}

bool ReportRoad(const Road& road, const Held held[2]) {
    const Held& a = held[0];
    const Held& b = held[1];
    const std::string name = road.name;
    bool steady = Report(road.resident, b.residentKiB, a.residentKiB, "KiB", false);
    steady = Report(name + "_heap_blocks", b.heapBlocks, a.heapBlocks, "blocks", true) && steady;
    steady = Report(name + "_heap_bytes", b.heapBytes, a.heapBytes, "bytes", true) && steady;
    steady = Report(name + "_new_blocks", b.cpp.blocks, a.cpp.blocks, "blocks", true) && steady;
    steady = Report(name + "_new_bytes", b.cpp.bytes, a.cpp.bytes, "bytes", true) && steady;
    steady = Report(name + "_malloc_blocks", b.c.blocks, a.c.blocks, "blocks", true) && steady;
    steady = Report(name + "_malloc_bytes", b.c.bytes, a.c.bytes, "bytes", true) && steady;
    return steady;
}

} // namespace

int main() {
    moc_bench::SignInBench bench;
    std::string why;
    if (!bench.Ready(&why)) {
        std::fprintf(stderr, "memory/growth failed: %s\n", why.c_str());
        return 1;
    }
    // Both roads are walked before anything is printed, so that the output's
    // own buffers are taken after the last mark.
    Held held[2][2];
    for (size_t r = 0; r < 2; ++r) {
        if (!TwoMarks(bench, kRoads[r], held[r]))
            return 1;
    }
    bool steady = true;
    for (size_t r = 0; r < 2; ++r)
        steady = ReportRoad(kRoads[r], held[r]) && steady;
    std::fflush(stdout);
    return steady ? 0 : 1;
}
