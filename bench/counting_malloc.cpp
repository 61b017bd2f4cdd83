#include "bench/counting_malloc.h"

#include <malloc.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

// glibc's own entry points behind the names replaced below.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

// Constant-initialised: glibc asks for blocks before any constructor runs.
std::atomic<size_t> g_blocks{0};
std::atomic<size_t> g_bytes{0};

void* Counted(void* block) {
    if (block != nullptr) {
        g_blocks.fetch_add(1, std::memory_order_relaxed);
        g_bytes.fetch_add(malloc_usable_size(block), std::memory_order_relaxed);
    }
    return block;
}

void Uncount(void* block) {
    g_blocks.fetch_sub(1, std::memory_order_relaxed);
    g_bytes.fetch_sub(malloc_usable_size(block), std::memory_order_relaxed);
}

bool PowerOfTwo(size_t n) {
    return n != 0 && (n & (n - 1)) == 0;
}

} // namespace

namespace moc_bench {

LiveBlocks LiveMallocBlocks() {
    return LiveBlocks{g_blocks.load(), g_bytes.load()};
}

} // namespace moc_bench

// The libraries must bind to these: the project's default visibility, hidden,
// would keep them out of the program's dynamic symbols.
#pragma GCC visibility push(default)
extern "C" {

void* malloc(size_t size) noexcept {
    return Counted(__libc_malloc(size));
}

void* calloc(size_t count, size_t size) noexcept {
    return Counted(__libc_calloc(count, size));
}

void* realloc(void* block, size_t size) noexcept {
    if (block == nullptr)
        return Counted(__libc_realloc(nullptr, size));
    const size_t before = malloc_usable_size(block);
    void* moved = __libc_realloc(block, size);
    if (moved != nullptr) {
        g_bytes.fetch_add(malloc_usable_size(moved) - before, std::memory_order_relaxed);
    } else if (size == 0) { // glibc frees the block
        g_blocks.fetch_sub(1, std::memory_order_relaxed);
        g_bytes.fetch_sub(before, std::memory_order_relaxed);
    }
    return moved;
}

void free(void* block) noexcept {
    if (block == nullptr)
        return;
    Uncount(block);
    __libc_free(block);
}

void* memalign(size_t alignment, size_t size) noexcept {
    return Counted(__libc_memalign(alignment, size));
}

void* aligned_alloc(size_t alignment, size_t size) noexcept {
    if (!PowerOfTwo(alignment)) {
        errno = EINVAL;
        return nullptr;
    }
    return Counted(__libc_memalign(alignment, size));
}

int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    if (!PowerOfTwo(alignment) || alignment % sizeof(void*) != 0)
        return EINVAL;
    void* block = Counted(__libc_memalign(alignment, size));
    if (block == nullptr)
        return ENOMEM;
    *out = block;
    return 0;
}

void* valloc(size_t size) noexcept {
    return Counted(__libc_memalign(static_cast<size_t>(getpagesize()), size));
}

void* pvalloc(size_t size) noexcept {
    const size_t page = static_cast<size_t>(getpagesize());
    if (size > SIZE_MAX - page)
        return nullptr;
    return Counted(__libc_memalign(page, size == 0 ? page : (size + page - 1) / page * page));
}

} // extern "C"
#pragma GCC visibility pop
