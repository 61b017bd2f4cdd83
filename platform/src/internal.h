// Shared machinery of the stand-in's implementation (not a platform header).
#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include "windows.h"

namespace platform::detail {

// Anything a HANDLE can name: files, events, devices, registry keys.
struct HandleObject {
    virtual ~HandleObject() = default;
    // Called by CloseHandle (the handle is gone afterwards either way); false
    // makes CloseHandle fail with the last error that Close has set.
    virtual bool Close() { return true; }
};

// One table serves every kind of handle, as on the platform. Handles are
// small non-null values that never collide with INVALID_HANDLE_VALUE.
HANDLE InsertHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes the entry; returns the object (null when the handle was not open).
std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle);
size_t HandleCount();
void ResetHandles();

// Each area of the stand-in registers how to put its state back to the start;
// platform::test::ResetAll runs them all.
struct ResetHook {
    explicit ResetHook(std::function<void()> fn);
};

// UTF-8 (the stand-in's ANSI code page) of a UTF-16 code point or text; a lone
// surrogate is carried through rather than refused, for diagnostics and paths.
void AppendUtf8(std::string& out, uint32_t codePoint);
std::string Utf8FromUtf16(const WCHAR* text);

// errno of a failed POSIX call as the platform's error code.
DWORD Win32ErrorFromErrno(int err);

} // namespace platform::detail
