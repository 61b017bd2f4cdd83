// The C heap of the whole process, counted: linking counting_malloc.cpp into a
// program replaces malloc and its kin by symbol interposition (the dynamic
// linker binds the calls of every library, the loaded TolviMocAdapter, Mbed
// TLS and the C library's own among them, to the program's), so every block
// taken from the C heap is counted while it lives, the blocks under the C++
// heap of counting_new.cpp and under the stand-in's process heap included.
#pragma once
#include "bench/counting_new.h"

namespace moc_bench {

// Bytes as the allocator made the blocks (malloc_usable_size): the same for
// the same request, which is all that a count compared across two marks needs.
LiveBlocks LiveMallocBlocks();

} // namespace moc_bench
