// The platform's loader calls a DLL's entry on load and unload; a shared
// object gets the same from a constructor and a destructor.
// Compiled into each deliverable, never into a static core, so that each
// library calls its own DllMain.
#include <dlfcn.h>
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);

namespace {
HINSTANCE ThisModule() {
    Dl_info info{};
    static const int anchor = 0;
    if (dladdr(&anchor, &info) == 0)
        return nullptr;
    return static_cast<HINSTANCE>(info.dli_fbase);
}

__attribute__((constructor)) void OnLoad() {
    DllMain(ThisModule(), DLL_PROCESS_ATTACH, nullptr);
}
__attribute__((destructor)) void OnUnload() {
    DllMain(ThisModule(), DLL_PROCESS_DETACH, nullptr);
}
} // namespace
