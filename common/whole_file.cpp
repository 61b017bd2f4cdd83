#include "common/whole_file.h"

#include <algorithm>
#include <new>
#include <string>
#include <winbio_err.h>
#include "common/file_utils.h"
#include "common/trace.h"

namespace {

// The error of the call that just failed; never 0, so that a failure cannot
// read as success.
DWORD LastErrorOrFailure() {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

// The wide form of a narrow (ANSI) path: 0, or the error that says why there
// is none.
DWORD WideOf(const char* path, std::u16string* wide) {
    if (path == nullptr)
        return ERROR_INVALID_PARAMETER;
    int units = MultiByteToWideChar(CP_ACP, 0, path, -1, nullptr, 0);
    if (units <= 0)
        return ERROR_NO_UNICODE_TRANSLATION;
    try {
        wide->resize(static_cast<size_t>(units));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide->data(), units) != units)
        return ERROR_NO_UNICODE_TRANSLATION;
    wide->pop_back(); // the terminator the conversion counted
    return 0;
}

} // namespace

HRESULT LoadWholeFile(const char* path, std::vector<BYTE>* bytes, bool* unreadable) {
    bool unused = false;
    if (unreadable == nullptr)
        unreadable = &unused;
    *unreadable = false;
    if (path == nullptr || bytes == nullptr)
        return E_POINTER;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        MOC_TRACE_ERROR(kTraceGuidWholeFile, 10, "%s not opened: %!WINERROR!", path,
                        GetLastError());
        *unreadable = true;
        return WINBIO_E_DATABASE_CORRUPTED;
    }
    HRESULT hr = S_OK;
    LARGE_INTEGER length{};
    std::vector<BYTE> content;
    if (!GetFileSizeEx(file, &length) || length.QuadPart < 0) {
        MOC_TRACE_ERROR(kTraceGuidWholeFile, 11, "length of %s not read: %!WINERROR!", path,
                        GetLastError());
        *unreadable = true;
        hr = WINBIO_E_DATABASE_CORRUPTED;
    } else if (static_cast<ULONGLONG>(length.QuadPart) > kMaxWholeFileBytes) {
        MOC_TRACE_ERROR(kTraceGuidWholeFile, 12, "%s of %llu bytes is too long to read whole", path,
                        static_cast<ULONGLONG>(length.QuadPart));
        hr = WINBIO_E_DATABASE_CORRUPTED;
    } else {
        MOC_TRACE_INFO(kTraceGuidWholeFile, 16, "reading %s, %u bytes", path,
                       static_cast<DWORD>(length.QuadPart));
        try {
            content.resize(static_cast<size_t>(length.QuadPart));
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    size_t done = 0;
    while (SUCCEEDED(hr) && done < content.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 30));
        DWORD read = 0;
        if (!ReadFile(file, content.data() + done, chunk, &read, nullptr) || read == 0 ||
            read > chunk) {
            MOC_TRACE_ERROR(kTraceGuidWholeFile, 13, "%s not read at byte %llu of %llu", path,
                            static_cast<ULONGLONG>(done), static_cast<ULONGLONG>(content.size()));
            *unreadable = true;
            hr = WINBIO_E_DATABASE_CORRUPTED;
        } else {
            done += read;
        }
    }
    // The file must end where it was measured: one that goes on (written
    // meanwhile, or with no end at all) would be taken for the part read.
    BYTE beyond = 0;
    DWORD over = 0;
    if (SUCCEEDED(hr) && (!ReadFile(file, &beyond, 1, &over, nullptr) || over != 0)) {
        MOC_TRACE_ERROR(kTraceGuidWholeFile, 17, "%s goes on past its %llu bytes", path,
                        static_cast<ULONGLONG>(content.size()));
        *unreadable = true;
        hr = WINBIO_E_DATABASE_CORRUPTED;
    }
    CloseHandle(file);
    if (SUCCEEDED(hr))
        bytes->swap(content);
    return hr;
}

namespace {

// Removes whatever stands at the writer's own temporary name: a leftover file,
// one marked read-only, an empty folder, a link (as itself). False, with the
// last error set, when the name stays taken: a folder with something in it
// (ERROR_DIR_NOT_EMPTY) is not the writer's to empty.
bool ClearTemporaryName(const WCHAR* temporary) {
    if (DeleteFileW(temporary) || GetLastError() == ERROR_FILE_NOT_FOUND)
        return true;
    const DWORD refused = GetLastError();
    const DWORD attributes =
        refused == ERROR_ACCESS_DENIED ? GetFileAttributesW(temporary) : INVALID_FILE_ATTRIBUTES;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return RemoveDirectoryW(temporary) != FALSE;
    // The attributes of a link may be those of its target, whose mark a clearing
    // through the link would take away.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        return SetFileAttributesW(temporary, FILE_ATTRIBUTE_NORMAL) && DeleteFileW(temporary);
    SetLastError(refused);
    return false;
}

} // namespace

HANDLE CreateReplacementFile(const WCHAR* temporary) {
    // Only a file made here is written: whatever stands at the temporary name
    // (a leftover, or a link planted to steer the bytes elsewhere) goes first,
    // and the creation fails on any name still there rather than open it.
    if (!ClearTemporaryName(temporary))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(temporary, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

DWORD ReplaceWholeFile(const WCHAR* path, const BYTE* data, size_t size) {
    if (path == nullptr || (data == nullptr && size != 0))
        return ERROR_INVALID_PARAMETER;
    std::u16string temporary;
    try {
        temporary = std::u16string(path) + kReplacementSuffix;
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    HANDLE file = CreateReplacementFile(temporary.c_str());
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = LastErrorOrFailure();
        MOC_TRACE_ERROR(kTraceGuidWholeFile, 14,
                        "temporary file for %ls not created, for %llu bytes: %!WINERROR!", path,
                        static_cast<ULONGLONG>(size), error);
        return error;
    }
    DWORD error = WriteAllBytes(file, data, size);
    if (error == 0 && !FlushFileBuffers(file))
        error = LastErrorOrFailure();
    // A close can still report a write the cache could not complete.
    if (!CloseHandle(file) && error == 0)
        error = LastErrorOrFailure();
    if (error == 0 &&
        !MoveFileExW(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        error = LastErrorOrFailure();
    if (error != 0) {
        MOC_TRACE_ERROR(kTraceGuidWholeFile, 15,
                        "%ls not replaced, writing %llu bytes: %!WINERROR!", path,
                        static_cast<ULONGLONG>(size), error);
        DeleteFileW(temporary.c_str());
    }
    return error;
}

DWORD ReplaceWholeFile(const char* path, const BYTE* data, size_t size) {
    std::u16string wide;
    const DWORD error = WideOf(path, &wide);
    return error != 0 ? error : ReplaceWholeFile(wide.c_str(), data, size);
}

HANDLE CreateReplacementFile(const char* temporary) {
    std::u16string wide;
    const DWORD error = WideOf(temporary, &wide);
    if (error != 0) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return CreateReplacementFile(wide.c_str());
}
