// The adapter library's module entry: registers the trace provider at load
// and unregisters it at unload; nothing else happens at load.
#include <windows.h>
#include "common/trace.h"
#include "common/trace_provider.h"

namespace {

void AttachProvider() {
    AdapterTraceControlBlock& block = g_AdapterTraceControlBlock;
    block.next = nullptr;
    block.registrationHandle = 0;
    block.loggerHandle.store(0);
    block.flagWordCount = 1;
    block.enableLevel.store(0);
    block.options = 0;
    block.enableFlags.store(0);
    block.controlGuid = &AdapterTraceControlGuid;
    g_AdapterTraceAnchor.store(&block, std::memory_order_release);

    TRACE_GUID_REGISTRATION registration = {&AdapterTraceControlGuid, nullptr};
    // A session that already enables the provider reaches the callback from
    // inside this call, so the block must be in place before it.
    ULONG error =
        RegisterTraceGuidsW(AdapterTraceControlCallback, &block, &AdapterTraceControlGuid, 1,
                            &registration, nullptr, nullptr, &block.registrationHandle);
    // A failed registration is not reported: the provider just stays silent,
    // and detach must find no handle to unregister.
    if (error != ERROR_SUCCESS)
        block.registrationHandle = 0;

    MOC_TRACE_INFO(kTraceGuidModuleEntry, 10, "loaded: the provider is registered");
}

void DetachProvider() {
    void* anchor = g_AdapterTraceAnchor.load(std::memory_order_acquire);
    if (anchor == static_cast<void*>(&g_AdapterTraceAnchor))
        return;

    MOC_TRACE_INFO(kTraceGuidModuleEntry, 11, "unloading: the provider is unregistered");
    for (auto* block = static_cast<AdapterTraceControlBlock*>(anchor); block != nullptr;
         block = block->next) {
        if (block->registrationHandle != 0) {
            UnregisterTraceGuids(block->registrationHandle);
            block->registrationHandle = 0;
        }
    }
    // Late statements from the framework's threads find the mark and stay silent.
    g_AdapterTraceAnchor.store(&g_AdapterTraceAnchor, std::memory_order_release);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)module;
    (void)reserved;
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        AttachProvider();
        break;
    case DLL_PROCESS_DETACH:
        DetachProvider();
        break;
    default:
        break;
    }
    return TRUE;
}
