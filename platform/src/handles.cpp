#include <cerrno>
#include <map>
#include <vector>
#include "internal.h"
#include "platform/test.h"

namespace platform::detail {
namespace {
struct Table {
    std::mutex mutex;
    std::map<uintptr_t, std::shared_ptr<HandleObject>> entries;
    uintptr_t next = 0x100;
};
Table& table() {
    static Table& t = *new Table;
    return t;
}
std::vector<std::function<void()>>& hooks() {
    static auto& h = *new std::vector<std::function<void()>>;
    return h;
}
thread_local DWORD t_lastError = 0;
} // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    uintptr_t value = t.next;
    t.next += 4;
    t.entries[value] = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.entries.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle) {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.entries.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.entries.end())
        return nullptr;
    auto object = it->second;
    t.entries.erase(it);
    return object;
}

size_t HandleCount() {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    return t.entries.size();
}

void ResetHandles() {
    std::map<uintptr_t, std::shared_ptr<HandleObject>> old;
    {
        Table& t = table();
        std::lock_guard<std::mutex> lock(t.mutex);
        old.swap(t.entries);
    }
    for (auto& entry : old)
        entry.second->Close();
}

ResetHook::ResetHook(std::function<void()> fn) {
    hooks().push_back(std::move(fn));
}

DWORD Win32ErrorFromErrno(int err) {
    switch (err) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    // The platform's answer to a write on a volume mounted read-only.
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ENOSPC:
        return ERROR_DISK_FULL;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case EINVAL:
        return ERROR_INVALID_PARAMETER;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EBUSY:
        return ERROR_BUSY;
    case EISDIR:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

} // namespace platform::detail

using namespace platform::detail;

extern "C" DWORD GetLastError(void) {
    return t_lastError;
}
extern "C" void SetLastError(DWORD error) {
    t_lastError = error;
}

extern "C" BOOL CloseHandle(HANDLE handle) {
    auto object = RemoveHandle(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // A failing Close has set the error it stands for.
    return object->Close() ? TRUE : FALSE;
}

namespace platform::test {
void ResetAll() {
    for (auto& hook : hooks())
        hook();
    ResetHandles();
}
size_t OpenHandleCount() {
    return HandleCount();
}
} // namespace platform::test
