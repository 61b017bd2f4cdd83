#include "bench/counting_new.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<size_t> g_blocks{0};
std::atomic<size_t> g_bytes{0};

// Each block carries its size in a header before it, so that an unsized
// delete can take it off the count. The header keeps the block's alignment.
constexpr size_t kHeader = 16;
static_assert(kHeader >= alignof(std::max_align_t) && kHeader >= sizeof(size_t));

size_t HeaderFor(std::align_val_t align) {
    return static_cast<size_t>(align) > kHeader ? static_cast<size_t>(align) : kHeader;
}

void* Take(size_t size, std::align_val_t align) {
    const size_t header = HeaderFor(align);
    if (size > SIZE_MAX - 2 * header)
        return nullptr;
    // aligned_alloc wants a multiple of the alignment.
    const size_t whole = (header + size + header - 1) / header * header;
    void* raw = header == kHeader ? std::malloc(header + size) : std::aligned_alloc(header, whole);
    if (raw == nullptr)
        return nullptr;
    auto* block = static_cast<unsigned char*>(raw) + header;
    reinterpret_cast<size_t*>(block)[-1] = size;
    g_blocks.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(size, std::memory_order_relaxed);
    return block;
}

void* TakeOrThrow(size_t size, std::align_val_t align) {
    for (;;) {
        if (void* block = Take(size, align))
            return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr)
            throw std::bad_alloc();
        handler();
    }
}

void Give(void* block, std::align_val_t align) {
    if (block == nullptr)
        return;
    auto* bytes = static_cast<unsigned char*>(block);
    g_blocks.fetch_sub(1, std::memory_order_relaxed);
    g_bytes.fetch_sub(reinterpret_cast<size_t*>(bytes)[-1], std::memory_order_relaxed);
    std::free(bytes - HeaderFor(align));
}

constexpr std::align_val_t kPlain{kHeader};

} // namespace

namespace moc_bench {

LiveBlocks LiveNewBlocks() {
    return LiveBlocks{g_blocks.load(), g_bytes.load()};
}

} // namespace moc_bench

void* operator new(size_t size) {
    return TakeOrThrow(size, kPlain);
}
void* operator new[](size_t size) {
    return TakeOrThrow(size, kPlain);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return Take(size, kPlain);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return Take(size, kPlain);
}
void* operator new(size_t size, std::align_val_t align) {
    return TakeOrThrow(size, align);
}
void* operator new[](size_t size, std::align_val_t align) {
    return TakeOrThrow(size, align);
}
void* operator new(size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return Take(size, align);
}
void* operator new[](size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return Take(size, align);
}

void operator delete(void* block) noexcept {
    Give(block, kPlain);
}
void operator delete[](void* block) noexcept {
    Give(block, kPlain);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
    Give(block, kPlain);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
    Give(block, kPlain);
}
void operator delete(void* block, size_t) noexcept {
    Give(block, kPlain);
}
void operator delete[](void* block, size_t) noexcept {
    Give(block, kPlain);
}
void operator delete(void* block, std::align_val_t align) noexcept {
    Give(block, align);
}
void operator delete[](void* block, std::align_val_t align) noexcept {
    Give(block, align);
}
void operator delete(void* block, std::align_val_t align, const std::nothrow_t&) noexcept {
    Give(block, align);
}
void operator delete[](void* block, std::align_val_t align, const std::nothrow_t&) noexcept {
    Give(block, align);
}
void operator delete(void* block, size_t, std::align_val_t align) noexcept {
    Give(block, align);
}
void operator delete[](void* block, size_t, std::align_val_t align) noexcept {
    Give(block, align);
}
