// The storage adapter's per-pipeline state. Attach makes it from a zero-filled
// block of the process heap and Detach frees it; every storage operation
// works on it through the pipeline's StorageContext.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include <cstring>
#include <vector>
#include "common/adapter_shared.h"
#include "common/trace.h"
#include "device/device_objects.h"
#include "storage/database_file.h"

// Whole 1024-byte block images back to back, in file order. Between the
// legacy load and its conversion the owned and plain lists hold bare legacy
// records instead (storage/legacy_files.h); nothing else may look at them then.
using BlockList = std::vector<BYTE>;

// The three lists of a record set, as a migration copies them aside.
struct BlockSet {
    BlockList Owned;
    BlockList Plain;
    BlockList Other;
};

constexpr size_t kPrivateFilePathChars = 1024; // with the terminator
constexpr DWORD kRememberedSidSize = MOC_BLOCK_ACCOUNT_SID_SIZE;
constexpr DWORD kDefaultSlotCount = 10; // when the chip does not report its own

struct _WINIBIO_STORAGE_CONTEXT {
    CMocStorageDevice* Device;
    GUID FormatGuid;
    char PrivateFilePath[kPrivateFilePathChars];
    DWORD OpenFlag;
    DWORD IndexElementCount;
    DWORD ResultCount;
    DWORD ResultPosition;
    DWORD QueryCounter;
    DWORD PurgeFlag;
    DWORD DeleteCounter;
    WINBIO_IDENTITY ReturnedIdentity;
    BYTE RememberedSecureId[WINBIO_SECURE_ID_SIZE];
    // Byte offsets of the matching blocks in the searched list.
    std::vector<DWORD> ResultList;
    BYTE RememberedSid[kRememberedSidSize];
    DWORD RememberedSidLength;
    DWORD OwnerIdMode;
    DWORD HashedMode;
    DWORD FirstUnlockFlag;
    DWORD PurgePendingFlag;
    BYTE Policy;
    BYTE SensorId[MOC_SENSOR_ID_SIZE];
    HostOwnerId HostOwner;
    DWORD SlotCount;
    // SlotCount entries of TemplateSlotEntrySize each; TemplateTableSize bytes.
    std::vector<BYTE> TemplateTable;
    DWORD TemplateTableSize;
    DWORD DatabaseMagic;
    DWORD KeptHeaderSize;
    std::vector<BYTE> KeptHeader;   // its size is the kept header count
    std::vector<BYTE> KeptTrailing; // its size is the kept trailing count
    // The record set, by block type. The lists show the private file only
    // right after a load or a save of it: every path that changes them and
    // does not save them, or that writes or removes the file without them,
    // sets ListsMayDifferFromFile, so that the next query reads the file
    // again instead of answering from them.
    BlockList OwnedBlocks;
    BlockList PlainBlocks;
    BlockList OtherBlocks;
    BYTE ReturnedTemplate[MOC_BLOCK_TEMPLATE_SIZE];
    BYTE ReturnedPayload[MOC_BLOCK_PAYLOAD_SIZE];
    ULONG ReturnedIndexVector[MOC_BLOCK_INDEX_ELEMENTS];
    ULONGLONG BuildConditionMask;
    OSVERSIONINFOEXW BuildCondition;
    BYTE SensorIdDigest[32];
    char UnitLabel[kUnitLabelChars];

    // Whether the chip answered the sensor id request at attach. Without the
    // id every owned block would look like another sensor's, so nothing may be
    // deleted or dropped on the strength of that comparison.
    bool SensorIdRead;
    // Whether the chip answered the capabilities request at attach. Without
    // it owner-id and hashed mode are guesses (both off), and nothing may
    // delete templates, or change or query records, on the strength of them.
    bool CapabilitiesRead;
    // The block lists may hold what the file does not, or lack what it holds
    // (see the lists). A load or a save of the private file clears it.
    bool ListsMayDifferFromFile;
    // Set only when attach ran to its end; an attach that failed part-way
    // leaves a context that Detach alone may touch.
    bool Usable;
};

// The pipeline's context when attach completed, else null.
inline PWINIBIO_STORAGE_CONTEXT UsableStorageContext(const WINBIO_PIPELINE* pipeline) {
    if (pipeline == nullptr || pipeline->StorageContext == nullptr ||
        !pipeline->StorageContext->Usable)
        return nullptr;
    return pipeline->StorageContext;
}

// The usable context of a slot that tests its pipeline and context:
// E_POINTER for a null pipeline, WINBIO_E_INVALID_DEVICE_STATE without a
// context whose attach completed.
inline HRESULT StorageContextOf(const WINBIO_PIPELINE* pipeline,
                                PWINIBIO_STORAGE_CONTEXT* context) {
    *context = UsableStorageContext(pipeline);
    if (pipeline == nullptr)
        return E_POINTER;
    return *context != nullptr ? S_OK : WINBIO_E_INVALID_DEVICE_STATE;
}

// The frame of an operation on the database or its records: E_POINTER when
// a pointer it needs is null (`pointersGiven` false),
// WINBIO_E_INVALID_DEVICE_STATE without a usable context, each traced
// without unit label as statement 10 of `unit`. Otherwise `work(context)`
// runs, the kept copies of a load are released on every path after it, and
// its result is traced as statement 11.
template <class Work>
HRESULT RunRecordOperation(PWINBIO_PIPELINE pipeline, bool pointersGiven, const GUID& unit,
                           Work work) {
    PWINIBIO_STORAGE_CONTEXT context = UsableStorageContext(pipeline);
    const HRESULT refused = pipeline == nullptr || !pointersGiven ? E_POINTER
                            : context == nullptr                  ? WINBIO_E_INVALID_DEVICE_STATE
                                                                  : S_OK;
    if (FAILED(refused)) {
        MOC_TRACE_INFO(unit, 10, "refused: %!HRESULT!", refused);
        return refused;
    }
    const HRESULT hr = work(*context);
    ReleaseKeptCopies(context);
    MOC_TRACE_INFO(unit, 11, "returns %!HRESULT!", context->UnitLabel, hr);
    return hr;
}

// The frame of an operation that changes records: the private file is loaded
// afresh (a failure traced as statement `loadFailure` of `unit`), then
// `change(context)` works on the lists. When the change fails, what it removed
// or appended was not saved.
template <class Change>
HRESULT ChangeLoadedRecords(WINIBIO_STORAGE_CONTEXT& context, const GUID& unit, USHORT loadFailure,
                            Change change) {
    HRESULT hr = ReloadDatabaseFile(&context);
    if (FAILED(hr)) {
        MOC_TRACE_ERROR(unit, loadFailure, "database file not reloaded: %!HRESULT!",
                        context.UnitLabel, hr);
        return hr;
    }
    hr = change(context);
    if (FAILED(hr))
        context.ListsMayDifferFromFile = true;
    return hr;
}

// The remembered account over the bytes its field holds.
inline DWORD RememberedLength(const WINIBIO_STORAGE_CONTEXT& context) {
    return context.RememberedSidLength < kRememberedSidSize ? context.RememberedSidLength
                                                            : kRememberedSidSize;
}

// Zeroes the remembered account SID over its remembered length (never more
// than its field); the length stays.
inline void ForgetRememberedSid(WINIBIO_STORAGE_CONTEXT* context) {
    std::memset(context->RememberedSid, 0, RememberedLength(*context));
}

// Empties the owned, plain and other block lists.
inline void EmptyBlockLists(WINIBIO_STORAGE_CONTEXT* context) {
    context->OwnedBlocks.clear();
    context->PlainBlocks.clear();
    context->OtherBlocks.clear();
}
