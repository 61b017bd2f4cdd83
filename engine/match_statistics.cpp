// The engine's match counters in the header of the private database file.
// The file belongs to the storage adapter, which rewrites it whole; the
// engine only ever patches the 20 counter bytes, so that no failure of its own
// can cost the file its records (an emptied file would make the next open
// delete this host's templates from the chip).
#include "engine/match_statistics.h"

#include <cstdio>
#include <cstring>

#include "common/file_utils.h"
#include "common/trace.h"
#include "engine/engine_adapter.h"
#include "storage/database_file.h"

namespace {

const GUID& kTrace = kTraceGuidMatchStatistics;

class FileHandle {
public:
    FileHandle() = default;
    ~FileHandle() {
        if (Valid()) {
            CloseHandle(handle_);
        }
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE && handle_ != nullptr; }
    HANDLE Get() const { return handle_; }
    void Open(const char* path, DWORD access) {
        // Shared both ways: the storage adapter may hold the file too.
        handle_ = CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    // Closes now, reporting whether the close succeeded.
    bool Close() {
        const bool closed = CloseHandle(handle_) != FALSE;
        handle_ = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Reads the header from the start of the file and checks it: a whole fixed
// header, the database magic, and a header size from 29 to the file's length.
bool ReadCheckedHeader(HANDLE file, const char* label, DatabaseFileHeader* header) {
    LARGE_INTEGER length = {};
    if (!GetFileSizeEx(file, &length)) {
        MOC_TRACE_ERROR(kTrace, 10, "statistics file not read: %!WINERROR!", label, GetLastError());
        return false;
    }
    MOC_TRACE_INFO(kTrace, 11, "statistics file of %lld bytes", label, length.QuadPart);
    if (length.QuadPart < static_cast<LONGLONG>(sizeof(DatabaseFileHeader))) {
        return false;
    }
    DWORD read = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, header, sizeof(*header), &read, nullptr) || read != sizeof(*header)) {
        MOC_TRACE_ERROR(kTrace, 10, "statistics file not read: %!WINERROR!", label, GetLastError());
        return false;
    }
    if (header->Magic != MOC_DATABASE_MAGIC) {
        return false;
    }
    MOC_TRACE_INFO(kTrace, 12, "statistics file version %u, header of %u bytes", label,
                   header->Version, header->HeaderSize);
    if (header->HeaderSize < MOC_DATABASE_HEADER_SIZE || header->HeaderSize > length.QuadPart) {
        MOC_TRACE_INFO(kTrace, 13, "header size %u does not fit the file", label,
                       header->HeaderSize);
        return false;
    }
    return true;
}

// Opens the file at the context's statistics path, as it is, and reads and
// checks its header.
bool OpenChecked(const WINIBIO_ENGINE_CONTEXT& context, DWORD access, FileHandle* file,
                 DatabaseFileHeader* header) {
    file->Open(context.StatisticsPath, access);
    if (!file->Valid()) {
        MOC_TRACE_ERROR(kTrace, 14, "statistics file %s not opened", context.UnitLabel,
                        context.StatisticsPath);
        return false;
    }
    return ReadCheckedHeader(file->Get(), context.UnitLabel, header);
}

// `text` has a conversion for each of the five counters.
void TraceCounters(USHORT number, TraceText text, const char* label, const MatchStatistics& s) {
    MOC_TRACE_INFO_FORWARDED(kTrace, number, text, label, s.Identifications, s.Matches,
                             s.BadCaptures, s.UnknownIdentities, s.OtherFailures);
}

void Count(MatchStatistics* statistics, HRESULT identifyResult) {
    // Unsigned: the counters wrap at 2^32.
    ++statistics->Identifications;
    if (identifyResult == S_OK) {
        ++statistics->Matches;
    } else if (identifyResult == WINBIO_E_UNKNOWN_ID) {
        ++statistics->UnknownIdentities;
    } else if (identifyResult == WINBIO_E_BAD_CAPTURE) {
        ++statistics->BadCaptures;
    } else {
        ++statistics->OtherFailures;
    }
}

} // namespace

bool LoadMatchStatistics(PWINIBIO_ENGINE_CONTEXT context) {
    FileHandle file;
    DatabaseFileHeader header;
    if (!OpenChecked(*context, GENERIC_READ, &file, &header)) {
        return false;
    }
    context->Statistics = header.Statistics;
    TraceCounters(15,
                  "counters read: %u identifications, %u matches, %u bad captures, %u unknown, %u "
                  "other failures",
                  context->UnitLabel, context->Statistics);
    return true;
}

bool SaveMatchStatistics(PWINIBIO_ENGINE_CONTEXT context) {
    const char* label = context->UnitLabel;
    // Checked again: the storage adapter may have rewritten the file since.
    FileHandle file;
    DatabaseFileHeader header;
    if (!OpenChecked(*context, GENERIC_READ | GENERIC_WRITE, &file, &header)) {
        return false;
    }
    TraceCounters(16,
                  "counters to write: %u identifications, %u matches, %u bad captures, %u unknown, "
                  "%u other failures",
                  label, context->Statistics);
    const auto* bytes = reinterpret_cast<const BYTE*>(&context->Statistics);
    DWORD offset = offsetof(DatabaseFileHeader, Statistics);
    DWORD left = sizeof(context->Statistics);
    if (SetFilePointer(file.Get(), static_cast<LONG>(offset), nullptr, FILE_BEGIN) != offset) {
        MOC_TRACE_ERROR(kTrace, 17, "counters not written: %!WINERROR!", label, GetLastError());
        return false;
    }
    while (left != 0) {
        DWORD written = 0;
        if (!WriteFile(file.Get(), bytes, left, &written, nullptr) || written == 0 ||
            written > left) {
            MOC_TRACE_ERROR(kTrace, 17, "counters not written: %!WINERROR!", label, GetLastError());
            return false;
        }
        bytes += written;
        left -= written;
    }
    if (!FlushFileBuffers(file.Get()) || !file.Close()) {
        MOC_TRACE_ERROR(kTrace, 17, "counters not written: %!WINERROR!", label, GetLastError());
        return false;
    }
    return true;
}

bool UpdateMatchStatistics(PWINIBIO_ENGINE_CONTEXT context, HRESULT identifyResult) {
    std::snprintf(context->StatisticsPath, sizeof(context->StatisticsPath), "%s%s",
                  kStatisticsFolder, PrivateDatabaseFile);
    if (!IsPathExist(context->StatisticsPath)) {
        MOC_TRACE_ERROR(kTrace, 18, "no statistics file at %s", context->UnitLabel,
                        context->StatisticsPath);
        return false;
    }
    // Counting on top of counters that were not read would write stale values
    // over the file's own.
    if (LoadMatchStatistics(context)) {
        Count(&context->Statistics, identifyResult);
        SaveMatchStatistics(context);
    }
    return true;
}
