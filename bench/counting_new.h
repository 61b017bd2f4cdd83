// The C++ heap of the whole process, counted: linking counting_new.cpp into a
// program replaces the global operator new and delete, so every block that
// the program, the platform stand-in and the loaded TolviMocAdapter take
// through them is counted while it lives (a library's references to the
// operators bind to the program's at load time).
#pragma once
#include <cstddef>

namespace moc_bench {

struct LiveBlocks {
    size_t blocks = 0;
    size_t bytes = 0; // as asked for (counting_malloc.h says how it counts its own)
};

LiveBlocks LiveNewBlocks();

} // namespace moc_bench
