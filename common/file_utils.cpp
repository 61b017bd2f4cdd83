#include "common/file_utils.h"

#include <algorithm>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <direct.h>
#include <io.h>
#include <shlobj.h>
#include <wtsapi32.h>

namespace {

// The attribute bits of an ordinary file or folder entry: read-only, hidden,
// system, archive, normal, temporary, sparse, compressed, offline,
// not-content-indexed, encrypted.
constexpr DWORD kOrdinaryAttributes = 0x7BA7;

// Bytes of a WTSINFOEXW reply up to the end of the level-1 SessionFlags.
constexpr size_t kSessionReplyNeeded =
    offsetof(WTSINFOEXW, Data.WTSInfoExLevel1.SessionFlags) + sizeof(LONG);

constexpr DWORD kLockStateQueryFailed = 255;

// The narrow path in wide characters, through the ANSI code page like every
// path of these utilities; false when it cannot be converted or does not fit
// (twice MAX_PATH: longer paths fail on the platform's file calls anyway).
bool ToWidePath(const char* path, WCHAR (&wide)[MAX_PATH * 2]) {
    if (path == nullptr)
        return false;
    return MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH * 2) > 0;
}

// Appends `text` when the result and its terminator fit into MAX_PATH characters.
bool AppendBounded(char (&work)[MAX_PATH], size_t& length, const char* text) {
    size_t add = std::strlen(text);
    if (add >= MAX_PATH - length)
        return false;
    std::memcpy(work + length, text, add + 1);
    length += add;
    return true;
}

} // namespace

HANDLE OpenSharedStream(const char* path, DWORD access, DWORD disposition) {
    return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

DWORD WriteAllBytes(HANDLE file, const void* data, size_t size) {
    const auto* bytes = static_cast<const BYTE*>(data);
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes + done, chunk, &written, nullptr)) {
            const DWORD error = GetLastError();
            return error != 0 ? error : ERROR_GEN_FAILURE;
        }
        if (written == 0 || written > chunk)
            return ERROR_WRITE_FAULT;
        done += written;
    }
    return 0;
}

DWORD GetFileLength(const char* path) {
    if (path == nullptr)
        return 0xFFFFFFFFu;
    HANDLE file = OpenSharedStream(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return 0xFFFFFFFFu;
    LARGE_INTEGER length{};
    const bool measured = GetFileSizeEx(file, &length) != FALSE;
    CloseHandle(file);
    // A length of 4 GiB or more has no 32-bit value: cutting it to its low
    // bits would hand a reader a wrong size.
    if (!measured || length.QuadPart < 0 || length.QuadPart >= 0xFFFFFFFFll)
        return 0xFFFFFFFFu;
    return static_cast<DWORD>(length.QuadPart);
}

bool ReadFileToBuffer(const char* path, void* destination, int count) {
    if (!IsPathExist(path))
        return false;
    if (destination == nullptr || count <= 0)
        return true;
    HANDLE file = OpenSharedStream(path, GENERIC_READ, OPEN_EXISTING);
    if (file == INVALID_HANDLE_VALUE)
        return true;
    auto* bytes = static_cast<BYTE*>(destination);
    DWORD done = 0, read = 0;
    while (done < static_cast<DWORD>(count) &&
           ReadFile(file, bytes + done, static_cast<DWORD>(count) - done, &read, nullptr) &&
           read > 0 && read <= static_cast<DWORD>(count) - done)
        done += read;
    CloseHandle(file);
    return true;
}

void WriteFileStream(const char* path, const void* source, int count) {
    // A negative count or missing source would read out of bounds; refuse it
    // before the open so that an existing file is not truncated for nothing.
    if (path == nullptr || count < 0 || (source == nullptr && count > 0))
        return;
    HANDLE file = OpenSharedStream(path, GENERIC_WRITE, CREATE_ALWAYS);
    if (file == INVALID_HANDLE_VALUE)
        return;
    WriteAllBytes(file, source, static_cast<size_t>(count));
    CloseHandle(file);
}

int WriteFileCrt(const char* path, const void* source, int count) {
    if (count < 0 || (source == nullptr && count > 0))
        return -1;
    FILE* file = nullptr;
    errno_t error = fopen_s(&file, path, "wb");
    if (error != 0 || file == nullptr)
        return error != 0 ? error : EINVAL;
    size_t expected = static_cast<size_t>(count);
    size_t written = expected > 0 ? std::fwrite(source, 1, expected, file) : 0;
    int flushed = std::fflush(file);
    int closed = std::fclose(file);
    // Bytes that never reached the file are a failure, not a success.
    if (closed != 0 || flushed != 0 || written != expected)
        return -1;
    return 0;
}

bool WriteFileWin32(const void* source, DWORD count, const char* path) {
    if (source == nullptr && count > 0)
        return false;
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    bool ok = WriteFile(file, source, count, &written, nullptr) != FALSE && written == count;
    // Data still in the system's buffers is not yet on disk; a failed flush loses it.
    ok = ok && FlushFileBuffers(file) != FALSE;
    CloseHandle(file);
    return ok;
}

bool IsPathExist(const char* path) {
    WCHAR wide[MAX_PATH * 2];
    if (!ToWidePath(path, wide))
        return false;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(wide, GetFileExInfoStandard, &data))
        return false;
    return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
           (data.dwFileAttributes & kOrdinaryAttributes) != 0;
}

BOOL IsFileExist(const char* path) {
    return _access(path, 0) == 0 ? TRUE : FALSE;
}

BOOL IsPathAccessible(const char* path) {
    return IsFileExist(path);
}

bool DeleteFileIfExist(const char* path) {
    if (!IsPathExist(path))
        return false;
    if (DeleteFileA(path))
        return true;
    // A read-only mark keeps the file from being deleted; clear it and retry.
    SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    return DeleteFileA(path) != FALSE;
}

bool RemoveDirectoryIfExist(const char* path) {
    return IsPathExist(path) && RemoveDirectoryA(path) != FALSE;
}

bool MakeDirectory(const char* path) {
    return CreateDirectoryA(path, nullptr) != FALSE;
}

int CreateDirectoryTree(const char* path) {
    if (path == nullptr)
        path = "";
    size_t length = strnlen(path, MAX_PATH);
    if (length >= MAX_PATH)
        return -1;
    char work[MAX_PATH] = {};
    for (size_t i = 0; i < length; ++i) {
        work[i] = path[i];
        if ((path[i] == '\\' || path[i] == '/') && _access(work, 0) != 0 && _mkdir(work) != 0)
            return -1;
    }
    return 0;
}

void GetLogFolderPath(char* output, const char* subfolder) {
    if (output == nullptr)
        return;
    std::memset(output, 0, MAX_PATH);
    PWSTR folder = nullptr;
    HRESULT hr = SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &folder);
    char work[MAX_PATH] = {};
    int converted = 0;
    if (hr == S_OK && folder != nullptr)
        converted = WideCharToMultiByte(CP_ACP, 0, folder, -1, work, MAX_PATH, nullptr, nullptr);
    CoTaskMemFree(folder);
    if (converted <= 0)
        return;
    // A path cut at the limit would name another folder: it is built whole or
    // not at all.
    size_t length = std::strlen(work);
    if (!AppendBounded(work, length, "\\Quorvin"))
        return;
    if (subfolder != nullptr &&
        (!AppendBounded(work, length, "\\") || !AppendBounded(work, length, subfolder)))
        return;
    std::memcpy(output, work, length + 1);
}

void GetConsoleSessionLockState(DWORD* state) {
    if (state == nullptr)
        return;
    *state = kLockStateQueryFailed;
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    BOOL ok = WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTSGetActiveConsoleSessionId(),
                                          WTSSessionInfoEx, &buffer, &bytes);
    // A reply too short to hold the SessionFlags field is no answer at all.
    if (ok && buffer != nullptr && bytes >= kSessionReplyNeeded) {
        const auto* reply = reinterpret_cast<const unsigned char*>(buffer);
        DWORD level = 0;
        std::memcpy(&level, reply + offsetof(WTSINFOEXW, Level), sizeof(level));
        if (level == 1) {
            LONG flags = 0;
            std::memcpy(&flags, reply + offsetof(WTSINFOEXW, Data.WTSInfoExLevel1.SessionFlags),
                        sizeof(flags));
            *state = static_cast<DWORD>(flags);
        }
    }
    WTSFreeMemory(buffer);
}
