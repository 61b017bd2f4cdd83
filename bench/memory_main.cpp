// The process's peak resident size after 100 and after 10,000 sign-ins at the
// lock screen, in a process of its own so that nothing else has raised the
// peak. Prints
//   pair memory/growth PEAK_AFTER_10000 PEAK_AFTER_100 KiB
// for scripts/bench.sh; the first figure over the second is the growth.
#include <sys/resource.h>
#include <cstdio>
#include <string>
#include "bench/sign_in.h"

namespace {

long PeakResidentKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss; // KiB on Linux
}

} // namespace

int main() {
    moc_bench::SignInBench bench;
    std::string why;
    if (!bench.Ready(&why)) {
        std::fprintf(stderr, "memory/growth failed: %s\n", why.c_str());
        return 1;
    }
    long peaks[2] = {};
    int done = 0;
    const int marks[2] = {100, 10000};
    for (int m = 0; m < 2; ++m) {
        for (; done < marks[m]; ++done) {
            bench.ForgetRequests();
            if (!bench.SignIn(&why)) {
                std::fprintf(stderr, "memory/growth failed at sign-in %d: %s\n", done + 1,
                             why.c_str());
                return 1;
            }
        }
        peaks[m] = PeakResidentKiB();
        std::printf("peak resident size after %d sign-ins: %ld KiB\n", done, peaks[m]);
    }
    std::printf("pair memory/growth %ld %ld KiB\n", peaks[1], peaks[0]);
    return 0;
}
