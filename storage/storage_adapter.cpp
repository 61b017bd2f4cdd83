#include "storage/storage_adapter.h"

#include <cstring>
#include <new>
#include <winpower.h>
#include "common/adapter_shared.h"
#include "common/trace.h"
#include "storage/chip_request.h"
#include "storage/database_file.h"
#include "storage/record_block.h"
#include "common/whole_file.h"

namespace {

constexpr DWORD kDataFormatMajor = 1;
constexpr DWORD kDataFormatMinor = 3;
constexpr DWORD kBuildWithoutReplacement = 26100;

WINBIO_STORAGE_INTERFACE g_storageInterface = {
    WINBIO_STORAGE_INTERFACE_VERSION_5,
    WINBIO_ADAPTER_TYPE_STORAGE,
    sizeof(WINBIO_STORAGE_INTERFACE),
    StorageAdapterId,
    StorageAdapterAttach,
    StorageAdapterDetach,
    StorageAdapterClearContext,
    StorageAdapterCreateDatabase,
    StorageAdapterEraseDatabase,
    StorageAdapterOpenDatabase,
    StorageAdapterCloseDatabase,
    StorageAdapterGetDataFormat,
    StorageAdapterGetDatabaseSize,
    StorageAdapterAddRecord,
    StorageAdapterDeleteRecord,
    StorageAdapterQueryBySubject,
    StorageAdapterQueryByContent,
    StorageAdapterGetRecordCount,
    StorageAdapterFirstRecord,
    StorageAdapterNextRecord,
    StorageAdapterGetCurrentRecord,
    StorageAdapterControlUnit,
    StorageAdapterControlUnitPrivileged,
    StorageAdapterNotifyPowerChange,
    StorageAdapterPipelineInit,
    StorageAdapterPipelineCleanup,
    StorageAdapterActivate,
    StorageAdapterDeactivate,
    StorageAdapterQueryExtendedInfo,
    StorageAdapterNotifyDatabaseChange,
    StorageAdapterReserved1,
    StorageAdapterReserved2,
    StorageAdapterUpdateRecordBegin,
    StorageAdapterUpdateRecordCommit,
};

// The context comes zero-filled from the process heap, as the framework's
// adapters keep it; its members are then constructed in place.
PWINIBIO_STORAGE_CONTEXT NewContext() {
    void* block = ProcessHeapAlloc(sizeof(WINIBIO_STORAGE_CONTEXT));
    if (block == nullptr)
        return nullptr;
    return new (block) WINIBIO_STORAGE_CONTEXT();
}

void FreeContext(PWINIBIO_STORAGE_CONTEXT context) {
    MocDestroyStorageDevice(context->Device);
    context->~WINIBIO_STORAGE_CONTEXT();
    ProcessHeapFree(context);
}

// The result of a slot, traced with the unit label when there is a context.
HRESULT Exit(const WINBIO_PIPELINE* pipeline, HRESULT hr) {
    if (pipeline != nullptr && pipeline->StorageContext != nullptr)
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 11, "returns %!HRESULT!",
                       pipeline->StorageContext->UnitLabel, hr);
    else
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 10, "returns %!HRESULT!", hr);
    return hr;
}

// The steps of attach that read the chip; the context is already stored in
// the pipeline, so that whatever fails here is released by Detach.
HRESULT ReadChip(PWINBIO_PIPELINE pipeline, WINIBIO_STORAGE_CONTEXT& context) {
    DWORD error = SendChipRequest(pipeline, IOCTL_MOC_GET_SENSOR_ID, nullptr, 0, context.SensorId,
                                  sizeof(context.SensorId), sizeof(context.SensorId));
    context.SensorIdRead = error == 0;
    if (error != 0)
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 12, "sensor id not read: %!WINERROR!", error);
    if (!Sha256Digest(context.SensorId, sizeof(context.SensorId), context.SensorIdDigest))
        MOC_TRACE_ERROR(kTraceGuidStorageAdapter, 13, "the digest of the sensor id failed");
    HashToHex(context.SensorIdDigest, context.UnitLabel);
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 14, "sensor id:", context.UnitLabel);
    TraceHexDump(context.UnitLabel, context.SensorId, sizeof(context.SensorId));

    context.DatabaseMagic = MOC_DATABASE_MAGIC;

    MocCapabilities capabilities{};
    error = SendChipRequest(pipeline, IOCTL_MOC_GET_CAPABILITIES, nullptr, 0, &capabilities,
                            sizeof(capabilities), sizeof(capabilities));
    context.CapabilitiesRead = error == 0;
    if (error != 0) {
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 15,
                       "capabilities not read (%!WINERROR!): the defaults stand", context.UnitLabel,
                       error);
        capabilities = MocCapabilities{};
        context.SlotCount = kDefaultSlotCount;
    } else {
        context.SlotCount = capabilities.SlotCount;
    }
    context.OwnerIdMode = capabilities.OwnerIdMode;
    context.HashedMode = capabilities.HashedIdentity;

    MocPolicy policy{};
    error = SendChipRequest(pipeline, IOCTL_MOC_GET_POLICY, nullptr, 0, &policy, sizeof(policy),
                            sizeof(policy));
    if (error != 0) {
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 16,
                       "policy not read (%!WINERROR!): policy 0 stands", context.UnitLabel, error);
        policy = MocPolicy{};
    }
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 17, "policy bytes 0x%02X 0x%02X 0x%02X",
                   context.UnitLabel, policy.Bytes[0], policy.Bytes[1], policy.Bytes[2]);
    context.Policy = static_cast<BYTE>(MocPolicyNumber(policy));
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 18, "policy %u", context.UnitLabel, context.Policy);

    if (context.OwnerIdMode != 0) {
        error = SendChipRequest(pipeline, IOCTL_MOC_GET_HOST_ID, nullptr, 0, &context.HostOwner,
                                sizeof(context.HostOwner), sizeof(context.HostOwner));
        if (error != 0) {
            MOC_TRACE_ERROR(kTraceGuidStorageAdapter, 19, "host owner id not read: %!WINERROR!",
                            context.UnitLabel, error);
            return WinBioErrorFromWin32(error);
        }
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 20, "host owner id:", context.UnitLabel);
        TraceHexDump(context.UnitLabel, context.HostOwner.Bytes, sizeof(context.HostOwner));
    }
    context.TemplateTableSize = context.SlotCount * SlotEntrySize(context);
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 21, "%u slots, a template table of %u bytes",
                   context.UnitLabel, context.SlotCount, context.TemplateTableSize);
    try {
        context.TemplateTable.assign(context.TemplateTableSize, 0);
    } catch (const std::bad_alloc&) {
        MOC_TRACE_ERROR(kTraceGuidStorageAdapter, 22,
                        "no memory for the template table: %!WINERROR!", context.UnitLabel,
                        ERROR_NOT_ENOUGH_MEMORY);
        context.TemplateTableSize = 0;
        return E_OUTOFMEMORY;
    }

    HRESULT hr = MocCreateStorageDevice(pipeline, &context.Device);
    if (FAILED(hr))
        return hr;
    context.BuildCondition.dwOSVersionInfoSize = sizeof(context.BuildCondition);
    context.BuildCondition.dwMajorVersion = 10;
    context.BuildCondition.dwBuildNumber = kBuildWithoutReplacement;
    context.BuildConditionMask = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
    return S_OK;
}

} // namespace

extern "C" HRESULT WINAPI WbioQueryStorageInterface(PWINBIO_STORAGE_INTERFACE* StorageInterface) {
    if (StorageInterface == nullptr)
        return E_POINTER;
    *StorageInterface = &g_storageInterface;
    return S_OK;
}

HRESULT WINAPI StorageAdapterAttach(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 23, "attach");
    if (Pipeline == nullptr)
        return Exit(Pipeline, E_POINTER);
    // A context or handle already there belongs to someone: it is left as it is.
    if (Pipeline->StorageContext != nullptr || Pipeline->StorageHandle != INVALID_HANDLE_VALUE) {
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 10, "returns %!HRESULT!",
                       WINBIO_E_INVALID_DEVICE_STATE);
        return WINBIO_E_INVALID_DEVICE_STATE;
    }
    PWINIBIO_STORAGE_CONTEXT context = NewContext();
    if (context == nullptr)
        return Exit(Pipeline, E_OUTOFMEMORY);
    context->FirstUnlockFlag = 1;
    context->RememberedSidLength = kRememberedSidSize;
    Pipeline->StorageContext = context;
    HRESULT hr = ReadChip(Pipeline, *context);
    context->Usable = SUCCEEDED(hr);
    return Exit(Pipeline, hr);
}

HRESULT WINAPI StorageAdapterDetach(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 24, "detach");
    if (Pipeline == nullptr)
        return Exit(Pipeline, E_POINTER);
    // Detach also releases a context whose attach failed part-way.
    PWINIBIO_STORAGE_CONTEXT context = Pipeline->StorageContext;
    if (context == nullptr)
        return Exit(Pipeline, WINBIO_E_INVALID_DEVICE_STATE);
    Pipeline->StorageHandle = INVALID_HANDLE_VALUE;
    // Traced while the context still gives the unit label.
    Exit(Pipeline, S_OK);
    FreeContext(context);
    Pipeline->StorageContext = nullptr;
    return S_OK;
}

HRESULT WINAPI StorageAdapterClearContext(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    context->ResultCount = 0;
    context->ResultPosition = 0;
    context->DeleteCounter = 0;
    context->ResultList.clear();
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterCloseDatabase(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    if (Pipeline->StorageHandle != INVALID_HANDLE_VALUE) {
        CloseHandle(Pipeline->StorageHandle);
        Pipeline->StorageHandle = INVALID_HANDLE_VALUE;
    }
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterGetDataFormat(PWINBIO_PIPELINE Pipeline, PWINBIO_UUID FormatId,
                                           PWINBIO_VERSION Version) {
    if (Pipeline == nullptr || FormatId == nullptr || Version == nullptr)
        return Exit(Pipeline, E_POINTER);
    PWINIBIO_STORAGE_CONTEXT context = UsableStorageContext(Pipeline);
    if (context == nullptr)
        return Exit(Pipeline, WINBIO_E_INVALID_DEVICE_STATE);
    Version->MajorVersion = kDataFormatMajor;
    Version->MinorVersion = kDataFormatMinor;
    *FormatId = context->FormatGuid;
    TraceHexDump(context->UnitLabel, reinterpret_cast<const BYTE*>(&context->FormatGuid),
                 sizeof(GUID));
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterControlUnit(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                         PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                         PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                         PSIZE_T ReceiveDataSize, PULONG OperationStatus) {
    if (Pipeline == nullptr || SendBuffer == nullptr || ReceiveBuffer == nullptr ||
        ReceiveDataSize == nullptr || OperationStatus == nullptr)
        return Exit(Pipeline, E_POINTER);
    PWINIBIO_STORAGE_CONTEXT context = UsableStorageContext(Pipeline);
    if (context == nullptr)
        return Exit(Pipeline, WINBIO_E_INVALID_DEVICE_STATE);
    *ReceiveDataSize = 0;
    *OperationStatus = 0;
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 25,
                   "control code 0x%08X, %llu bytes to send, room for %llu", context->UnitLabel,
                   ControlCode, static_cast<ULONGLONG>(SendBufferSize),
                   static_cast<ULONGLONG>(ReceiveBufferSize));
    // The codes are acknowledged, never passed on: the chip is not asked.
    switch (ControlCode) {
    case IOCTL_MOC_GET_POLICY:
    case IOCTL_MOC_GET_CAPABILITIES:
    case IOCTL_MOC_GET_HOST_ID:
    case IOCTL_MOC_DATABASE_VERSION:
        return Exit(Pipeline, S_OK);
    default:
        return Exit(Pipeline, E_INVALIDARG);
    }
}

HRESULT WINAPI StorageAdapterControlUnitPrivileged(PWINBIO_PIPELINE Pipeline, ULONG, PUCHAR, SIZE_T,
                                                   PUCHAR, SIZE_T, PSIZE_T ReceiveDataSize,
                                                   PULONG OperationStatus) {
    // The slot tests no argument, so it must not write through a null one.
    if (ReceiveDataSize != nullptr)
        *ReceiveDataSize = 0;
    if (OperationStatus != nullptr)
        *OperationStatus = 0;
    return Exit(Pipeline, E_NOTIMPL);
}

HRESULT WINAPI StorageAdapterNotifyPowerChange(PWINBIO_PIPELINE Pipeline, ULONG PowerEventType) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    switch (PowerEventType) {
    case PBT_APMSUSPEND:
    case PBT_APMPOWERSTATUSCHANGE:
    case PBT_APMRESUMEAUTOMATIC:
        return Exit(Pipeline, S_OK);
    default:
        return Exit(Pipeline, E_INVALIDARG);
    }
}

HRESULT WINAPI StorageAdapterPipelineInit(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterPipelineCleanup(PWINBIO_PIPELINE Pipeline) {
    return StorageAdapterPipelineInit(Pipeline);
}

HRESULT WINAPI StorageAdapterActivate(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    context->DeleteCounter = 0;
    context->IndexElementCount = 0;
    context->ResultCount = 0;
    context->ResultPosition = 0;
    context->QueryCounter = 0;
    context->ResultList.clear();
    ForgetRememberedSid(context);
    context->ReturnedIndexVector[0] = 0;
    context->FormatGuid = GUID{};
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterDeactivate(PWINBIO_PIPELINE Pipeline) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    context->DeleteCounter = 0;
    context->ResultList.clear();
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterQueryExtendedInfo(PWINBIO_PIPELINE Pipeline,
                                               PWINBIO_EXTENDED_STORAGE_INFO ExtendedInfo,
                                               SIZE_T ExtendedInfoSize) {
    if (Pipeline == nullptr || ExtendedInfo == nullptr)
        return Exit(Pipeline, E_POINTER);
    if (UsableStorageContext(Pipeline) == nullptr)
        return Exit(Pipeline, WINBIO_E_INVALID_DEVICE_STATE);
    // A smaller buffer cannot take the record.
    if (ExtendedInfoSize < sizeof(WINBIO_EXTENDED_STORAGE_INFO))
        return Exit(Pipeline, E_INVALIDARG);
    ExtendedInfo->GenericStorageCapabilities = 0;
    ExtendedInfo->Factor = WINBIO_TYPE_FINGERPRINT;
    ExtendedInfo->Specific.Fingerprint.Capabilities = 0;
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterNotifyDatabaseChange(PWINBIO_PIPELINE Pipeline, BOOLEAN RecordsAdded) {
    PWINIBIO_STORAGE_CONTEXT context;
    if (HRESULT hr = StorageContextOf(Pipeline, &context); FAILED(hr))
        return Exit(Pipeline, hr);
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 26, "database changed, records added %u",
                   context->UnitLabel, RecordsAdded);
    return Exit(Pipeline, S_OK);
}

HRESULT WINAPI StorageAdapterReserved1(const PWINBIO_PIPELINE, PWINBIO_IDENTITY, PULONG64,
                                       PULONG64) {
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 27, "not supported by this adapter");
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterReserved2(const PWINBIO_PIPELINE, PWINBIO_IDENTITY) {
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 28, "not supported by this adapter");
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterUpdateRecordBegin(PWINBIO_PIPELINE, PWINBIO_IDENTITY,
                                               WINBIO_BIOMETRIC_SUBTYPE, PWINBIO_STORAGE_RECORD) {
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 29, "not supported by this adapter");
    return E_NOTIMPL;
}

HRESULT WINAPI StorageAdapterUpdateRecordCommit(PWINBIO_PIPELINE, PWINBIO_STORAGE_RECORD) {
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 30, "not supported by this adapter");
    return E_NOTIMPL;
}

HRESULT ResetDatabase(PWINIBIO_STORAGE_CONTEXT context) {
    if (context == nullptr)
        return E_POINTER;
    const DatabaseFileHeader header = FreshDatabaseHeader(context->DatabaseMagic);
    DWORD error = ReplaceWholeFile(context->PrivateFilePath, reinterpret_cast<const BYTE*>(&header),
                                   sizeof(header));
    if (error != 0) {
        MOC_TRACE_INFO(kTraceGuidStorageAdapter, 31, "database file %s not rewritten: %!WINERROR!",
                       context->UnitLabel, context->PrivateFilePath, error);
        return WINBIO_E_DATABASE_CANT_CREATE;
    }
    // The lists are left as they were, beside a file that now holds nothing.
    context->ListsMayDifferFromFile = true;
    HRESULT hr = DeleteHostTemplates(*context);
    MOC_TRACE_INFO(kTraceGuidStorageAdapter, 37, "host templates deleted from the chip: %!HRESULT!",
                   context->UnitLabel, hr);
    return hr;
}
