// The process heap over malloc, so that AddressSanitizer still sees every
// block; the stand-in keeps the live blocks with their sizes to count them and
// to refuse a pointer it never handed out.
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include "internal.h"
#include "platform/test_core.h"

namespace platform::detail {
namespace {

struct Heap {
    std::mutex mutex;
    std::unordered_map<void*, SIZE_T> live; // block -> the bytes asked for
    SIZE_T liveBytes = 0;
    int failNext = 0;
};

Heap& heap() {
    static Heap& h = *new Heap;
    return h;
}

// Only the faults are reset: blocks still held by the code under test stay
// live and can still be freed.
ResetHook g_heapReset([] {
    Heap& h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.failNext = 0;
});

const int g_processHeap = 0;

HANDLE ProcessHeap() {
    return const_cast<int*>(&g_processHeap);
}

} // namespace
} // namespace platform::detail

using namespace platform::detail;

extern "C" HANDLE GetProcessHeap(void) {
    return ProcessHeap();
}

extern "C" LPVOID HeapAlloc(HANDLE heapHandle, DWORD flags, SIZE_T bytes) {
    if (heapHandle != ProcessHeap())
        return nullptr;
    Heap& h = heap();
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        if (h.failNext > 0) {
            --h.failNext;
            return nullptr;
        }
    }
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr)
        return nullptr;
    // Without HEAP_ZERO_MEMORY the platform gives no promise about the
    // contents; a fill pattern keeps code from relying on zeroes it did not ask for.
    std::memset(block, (flags & HEAP_ZERO_MEMORY) ? 0 : 0xBA, bytes);
    std::lock_guard<std::mutex> lock(h.mutex);
    h.live.emplace(block, bytes);
    h.liveBytes += bytes;
    return block;
}

extern "C" BOOL HeapFree(HANDLE heapHandle, DWORD flags, LPVOID mem) {
    (void)flags;
    if (heapHandle != ProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (mem == nullptr)
        return TRUE;
    Heap& h = heap();
    {
        std::lock_guard<std::mutex> lock(h.mutex);
        auto found = h.live.find(mem);
        if (found == h.live.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        h.liveBytes -= found->second;
        h.live.erase(found);
    }
    std::free(mem);
    return TRUE;
}

namespace platform::test {

void FailNextHeapAllocations(int count) {
    Heap& h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    h.failNext = count;
}

size_t LiveHeapBlocks() {
    Heap& h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.live.size();
}

size_t LiveHeapBytes() {
    Heap& h = heap();
    std::lock_guard<std::mutex> lock(h.mutex);
    return h.liveBytes;
}

} // namespace platform::test
