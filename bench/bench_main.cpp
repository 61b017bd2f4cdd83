#include "bench/pairs.h"

int main(int argc, char** argv) {
    return moc_bench::RunPairs(argc, argv);
}
