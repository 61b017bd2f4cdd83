// The engine adapter's frame: the interface table and its export, attach and
// detach, and the operations whose answer is fixed.
#include "engine/engine_adapter.h"

#include <cstring>
#include <new>
#include <synchapi.h>

#include "common/trace.h"
#include "device/device_request.h"

namespace {

const GUID& kTrace = kTraceGuidEngineAdapter; // 10 and 11 belong to the hex dump

constexpr MocCapabilities kDefaultCapabilities = {13, 10, 0, 0, {0, 0, 0, 0}};
constexpr SIZE_T kExtendedInfoSize = 36;
constexpr SIZE_T kEnrollmentParametersSize = 16;
constexpr SIZE_T kExtendedEnrollmentStatusSize = 376;

HRESULT Result(USHORT number, TraceText text, PWINBIO_PIPELINE pipeline, HRESULT hr) {
    return TraceEngineResult(kTrace, number, text, UsableEngineContext(pipeline), hr);
}

HRESULT NotImplemented(USHORT number) {
    MOC_TRACE_INFO(kTrace, number, "not supported by this adapter");
    return E_NOTIMPL;
}

// Releases whatever the context holds, then the context itself.
void ReleaseContext(PWINIBIO_ENGINE_CONTEXT context) {
    delete[] context->TemplateTable;
    context->TemplateTable = nullptr;
    if (context->Device != nullptr) {
        MocDestroyEngineDevice(context->Device);
        context->Device = nullptr;
    }
    if (context->Overlapped.hEvent != nullptr) {
        CloseHandle(context->Overlapped.hEvent);
        context->Overlapped.hEvent = nullptr;
    }
    HeapFree(GetProcessHeap(), 0, context);
}

// Steps of the attach that follow the event; false when the context cannot
// be completed (E_OUTOFMEMORY).
bool CompleteContext(PWINBIO_PIPELINE pipeline, PWINIBIO_ENGINE_CONTEXT context) {
    context->Enrolling = FALSE;
    context->AuthenticatedStartResult = S_OK;
    context->AuthenticatedStartDone = FALSE;

    // Whatever the buffer holds names the unit, 0xFF where the driver wrote nothing.
    MocSensorId sensorId;
    HRESULT hr = DeviceRequest(pipeline, IOCTL_MOC_GET_SENSOR_ID)
                     .Output(&sensorId, sizeof(sensorId), 0, 0xFF)
                     .Send();
    if (FAILED(hr)) {
        MOC_TRACE_INFO(
            kTrace, 13,
            "sensor id not read (%!WINERROR!): the unit is named after what the buffer holds",
            Win32ErrorOf(hr));
    }
    if (!Sha256Digest(sensorId.Bytes, sizeof(sensorId.Bytes), context->SensorIdDigest)) {
        MOC_TRACE_ERROR(kTrace, 14, "the digest of the sensor id failed");
    }
    HashToHex(context->SensorIdDigest, context->UnitLabel);

    MocCapabilities caps;
    hr = DeviceRequest(pipeline, IOCTL_MOC_GET_CAPABILITIES).Output(&caps).Send();
    if (FAILED(hr)) {
        MOC_TRACE_INFO(kTrace, 15, "capabilities not read (%!WINERROR!): the defaults stand",
                       context->UnitLabel, Win32ErrorOf(hr));
        caps = kDefaultCapabilities;
    }
    context->SamplesPerEnrollment = static_cast<BYTE>(caps.SamplesPerEnrollmentPlusOne - 1);
    context->TemplateSlotCount = caps.SlotCount;
    context->OwnerIdMode = caps.OwnerIdMode;
    context->HashedSecureIdentities = caps.HashedIdentity;
    context->TemplateTableSize = context->TemplateSlotCount * TemplateSlotEntrySize(caps);
    MOC_TRACE_INFO(
        kTrace, 16,
        "capabilities: %u samples per enrollment plus one, %u slots, a table of %u bytes",
        context->UnitLabel, caps.SamplesPerEnrollmentPlusOne, caps.SlotCount,
        context->TemplateTableSize);

    context->UsedSlotCount = 0;
    // A chip without slots still gets a buffer, so that the table read and the
    // slot choice need no case of their own.
    context->TemplateTable =
        new (std::nothrow) BYTE[context->TemplateTableSize != 0 ? context->TemplateTableSize : 1];
    if (context->TemplateTable == nullptr) {
        MOC_TRACE_ERROR(kTrace, 17, "no memory for the template table: %!WINERROR!",
                        context->UnitLabel, static_cast<DWORD>(ERROR_OUTOFMEMORY));
        return false;
    }

    CMocEngineDevice* device = nullptr;
    if (FAILED(MocCreateEngineDevice(pipeline, &device))) {
        // A half-built object is never left for an operation to use.
        MocDestroyEngineDevice(device);
        MOC_TRACE_ERROR(kTrace, 18, "engine device object not created", context->UnitLabel);
        return false;
    }

    context->LastMatchResult = S_OK;
    context->LastRejectDetail = 0;
    std::memset(&context->LastMatchDetail, 0, sizeof(context->LastMatchDetail));
    context->SampleToken = 0;
    context->MatchDataLength = 0;
    context->Device = device;
    return true;
}

} // namespace

PWINIBIO_ENGINE_CONTEXT UsableEngineContext(PWINBIO_PIPELINE pipeline) {
    if (pipeline == nullptr || pipeline->EngineContext == nullptr ||
        pipeline->EngineContext->Device == nullptr) {
        return nullptr;
    }
    return pipeline->EngineContext;
}

HRESULT StartEngineOperation(PWINBIO_PIPELINE pipeline, bool pointersPresent,
                             PWINIBIO_ENGINE_CONTEXT* context) {
    *context = nullptr;
    if (pipeline == nullptr || !pointersPresent) {
        return E_POINTER;
    }
    *context = UsableEngineContext(pipeline);
    return *context != nullptr ? S_OK : WINBIO_E_INVALID_DEVICE_STATE;
}

HRESULT TraceEngineResult(const GUID& unit, USHORT number, TraceText text,
                          const WINIBIO_ENGINE_CONTEXT* context, HRESULT hr) {
    if (context != nullptr) {
        MOC_TRACE_INFO_FORWARDED(unit, number, text, context->UnitLabel, hr);
    } else {
        MOC_TRACE_INFO_FORWARDED(unit, number, text, hr);
    }
    return hr;
}

// ---------------------------------------------------------------------------
// Attach and detach
// ---------------------------------------------------------------------------

HRESULT WINAPI EngineAdapterAttach(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTrace, 12, "attach");
    if (Pipeline == nullptr) {
        return Result(19, "attach returns %!HRESULT!", nullptr, E_POINTER);
    }
    // Refused without touching the pipeline, so a context in place stays there.
    if (Pipeline->EngineContext != nullptr || Pipeline->EngineHandle != INVALID_HANDLE_VALUE) {
        return Result(19, "attach returns %!HRESULT!", nullptr, WINBIO_E_INVALID_DEVICE_STATE);
    }
    auto* context = static_cast<PWINIBIO_ENGINE_CONTEXT>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(WINIBIO_ENGINE_CONTEXT)));
    if (context == nullptr) {
        return Result(19, "attach returns %!HRESULT!", nullptr, E_OUTOFMEMORY);
    }
    // A context that could not be completed is kept for the detach to release,
    // but without its device object no other operation takes it as a context.
    context->Overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (context->Overlapped.hEvent == nullptr || !CompleteContext(Pipeline, context)) {
        Pipeline->EngineContext = context;
        return Result(19, "attach returns %!HRESULT!", nullptr, E_OUTOFMEMORY);
    }
    Pipeline->EngineHandle = INVALID_HANDLE_VALUE;
    MOC_TRACE_INFO(kTrace, 19, "attach returns %!HRESULT!", context->UnitLabel, S_OK);
    Pipeline->EngineContext = context;
    return S_OK;
}

HRESULT WINAPI EngineAdapterDetach(PWINBIO_PIPELINE Pipeline) {
    MOC_TRACE_INFO(kTrace, 20, "detach");
    if (Pipeline == nullptr) {
        return Result(21, "detach returns %!HRESULT!", nullptr, E_POINTER);
    }
    PWINIBIO_ENGINE_CONTEXT context = Pipeline->EngineContext;
    if (context == nullptr) {
        return Result(21, "detach returns %!HRESULT!", nullptr, WINBIO_E_INVALID_DEVICE_STATE);
    }
    Pipeline->EngineHandle = INVALID_HANDLE_VALUE;
    MOC_TRACE_INFO(kTrace, 21, "detach returns %!HRESULT!", context->UnitLabel, S_OK);
    ReleaseContext(context);
    Pipeline->EngineContext = nullptr;
    return S_OK;
}

// ---------------------------------------------------------------------------
// Fixed operations
// ---------------------------------------------------------------------------

namespace {

HRESULT Begin(PWINBIO_PIPELINE pipeline, bool pointersPresent) {
    PWINIBIO_ENGINE_CONTEXT context = nullptr;
    return StartEngineOperation(pipeline, pointersPresent, &context);
}

} // namespace

HRESULT WINAPI EngineAdapterClearContext(PWINBIO_PIPELINE Pipeline) {
    return Result(22, "clear context returns %!HRESULT!", Pipeline, Begin(Pipeline, true));
}

HRESULT WINAPI EngineAdapterPipelineInit(PWINBIO_PIPELINE Pipeline) {
    return Result(23, "pipeline init returns %!HRESULT!", Pipeline, Begin(Pipeline, true));
}

HRESULT WINAPI EngineAdapterPipelineCleanup(PWINBIO_PIPELINE Pipeline) {
    return Result(24, "pipeline cleanup returns %!HRESULT!", Pipeline, Begin(Pipeline, true));
}

HRESULT WINAPI EngineAdapterRefreshCache(PWINBIO_PIPELINE Pipeline) {
    return Result(25, "refresh cache returns %!HRESULT!", Pipeline, Begin(Pipeline, true));
}

HRESULT WINAPI EngineAdapterQueryPreferredFormat(PWINBIO_PIPELINE Pipeline,
                                                 PWINBIO_REGISTERED_FORMAT StandardFormat,
                                                 PWINBIO_UUID VendorFormat) {
    HRESULT hr = Begin(Pipeline, StandardFormat != nullptr && VendorFormat != nullptr);
    if (SUCCEEDED(hr)) {
        StandardFormat->Owner = WINBIO_ANSI_381_FORMAT_OWNER;
        StandardFormat->Type = WINBIO_ANSI_381_FORMAT_TYPE;
        *VendorFormat = MocVendorFormatId;
    }
    return Result(26, "query preferred format returns %!HRESULT!", Pipeline, hr);
}

HRESULT WINAPI EngineAdapterQueryIndexVectorSize(PWINBIO_PIPELINE Pipeline,
                                                 PSIZE_T IndexElementCount) {
    HRESULT hr = Begin(Pipeline, IndexElementCount != nullptr);
    if (SUCCEEDED(hr)) {
        *IndexElementCount = 0;
    }
    return Result(27, "query index vector size returns %!HRESULT!", Pipeline, hr);
}

HRESULT WINAPI EngineAdapterQuerySampleHint(PWINBIO_PIPELINE Pipeline, PSIZE_T SampleHint) {
    HRESULT hr = Begin(Pipeline, SampleHint != nullptr);
    if (SUCCEEDED(hr)) {
        *SampleHint = Pipeline->EngineContext->SamplesPerEnrollment;
    }
    return Result(28, "query sample hint returns %!HRESULT!", Pipeline, hr);
}

HRESULT WINAPI EngineAdapterQueryExtendedInfo(PWINBIO_PIPELINE Pipeline,
                                              PWINBIO_EXTENDED_ENGINE_INFO EngineInfo,
                                              SIZE_T EngineInfoSize) {
    if (Pipeline == nullptr || EngineInfo == nullptr) {
        return Result(29, "query extended info returns %!HRESULT!", Pipeline, E_POINTER);
    }
    if (EngineInfoSize < kExtendedInfoSize) {
        return Result(29, "query extended info returns %!HRESULT!", Pipeline, E_INVALIDARG);
    }
    PWINIBIO_ENGINE_CONTEXT context = UsableEngineContext(Pipeline);
    if (context == nullptr) {
        return Result(29, "query extended info returns %!HRESULT!", Pipeline,
                      WINBIO_E_INVALID_DEVICE_STATE);
    }
    const ULONG samples = context->SamplesPerEnrollment;
    // Nine values, field by field: nothing past them is the caller's to lose.
    EngineInfo->GenericEngineCapabilities = 0;
    EngineInfo->Factor = WINBIO_TYPE_FINGERPRINT;
    EngineInfo->Specific.Fingerprint.Capabilities = 0;
    auto& requirements = EngineInfo->Specific.Fingerprint.EnrollmentRequirements;
    requirements.GeneralSamples = samples;
    requirements.Center = samples > 5 ? samples - 5 : 0;
    requirements.TopEdge = 1;
    requirements.BottomEdge = 1;
    requirements.LeftEdge = 1;
    requirements.RightEdge = 1;
    return Result(29, "query extended info returns %!HRESULT!", Pipeline, S_OK);
}

HRESULT WINAPI EngineAdapterSetEnrollmentParameters(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENROLLMENT_PARAMETERS Parameters) {
    HRESULT hr = Begin(Pipeline, Parameters != nullptr);
    if (SUCCEEDED(hr) && Parameters->Size < kEnrollmentParametersSize) {
        hr = E_INVALIDARG;
    }
    if (SUCCEEDED(hr)) {
        MOC_TRACE_INFO(kTrace, 30, "enrollment parameters for sub-factor 0x%02X",
                       Pipeline->EngineContext->UnitLabel, Parameters->SubFactor);
    }
    return Result(31, "set enrollment parameters returns %!HRESULT!", Pipeline, hr);
}

HRESULT WINAPI EngineAdapterQueryExtendedEnrollmentStatus(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENROLLMENT_STATUS EnrollmentStatus,
    SIZE_T EnrollmentStatusSize) {
    if (Pipeline == nullptr || EnrollmentStatus == nullptr) {
        return Result(32, "query extended enrollment status returns %!HRESULT!", Pipeline,
                      E_POINTER);
    }
    if (EnrollmentStatusSize < kExtendedEnrollmentStatusSize) {
        return Result(32, "query extended enrollment status returns %!HRESULT!", Pipeline,
                      E_INVALIDARG);
    }
    if (UsableEngineContext(Pipeline) == nullptr) {
        return Result(32, "query extended enrollment status returns %!HRESULT!", Pipeline,
                      WINBIO_E_INVALID_DEVICE_STATE);
    }
    EnrollmentStatus->Factor = WINBIO_TYPE_FINGERPRINT;
    return Result(32, "query extended enrollment status returns %!HRESULT!", Pipeline, S_OK);
}

// ---------------------------------------------------------------------------
// Slots this engine does not support: E_NOTIMPL at once, arguments untouched.
// ---------------------------------------------------------------------------

HRESULT WINAPI EngineAdapterQueryHashAlgorithms(PWINBIO_PIPELINE, PSIZE_T, PSIZE_T, PUCHAR*) {
    return NotImplemented(33);
}

HRESULT WINAPI EngineAdapterSetHashAlgorithm(PWINBIO_PIPELINE, SIZE_T, PUCHAR) {
    return NotImplemented(34);
}

HRESULT WINAPI EngineAdapterExportEngineData(PWINBIO_PIPELINE, WINBIO_BIR_DATA_FLAGS, PWINBIO_BIR*,
                                             PSIZE_T) {
    return NotImplemented(35);
}

HRESULT WINAPI EngineAdapterGetEnrollmentHash(PWINBIO_PIPELINE, PUCHAR*, PSIZE_T) {
    return NotImplemented(36);
}

HRESULT WINAPI EngineAdapterReserved1(PWINBIO_PIPELINE, PWINBIO_IDENTITY) {
    return NotImplemented(37);
}

HRESULT WINAPI EngineAdapterIdentifyAll(PWINBIO_PIPELINE, PSIZE_T, PWINBIO_PRESENCE*) {
    return NotImplemented(38);
}

HRESULT WINAPI EngineAdapterSetEnrollmentSelector(PWINBIO_PIPELINE, ULONGLONG) {
    return NotImplemented(39);
}

HRESULT WINAPI EngineAdapterSelectCalibrationFormat(PWINBIO_PIPELINE, PWINBIO_UUID, SIZE_T,
                                                    PWINBIO_UUID, PSIZE_T) {
    return NotImplemented(40);
}

HRESULT WINAPI EngineAdapterQueryCalibrationData(PWINBIO_PIPELINE, PBOOLEAN, PUCHAR, PSIZE_T,
                                                 SIZE_T) {
    return NotImplemented(41);
}

HRESULT WINAPI EngineAdapterSetAccountPolicy(PWINBIO_PIPELINE, PWINBIO_ACCOUNT_POLICY, SIZE_T) {
    return NotImplemented(42);
}

HRESULT WINAPI EngineAdapterCreateKey(PWINBIO_PIPELINE, const UCHAR*, SIZE_T, PUCHAR, SIZE_T,
                                      PSIZE_T) {
    return NotImplemented(43);
}

HRESULT WINAPI EngineAdapterIdentifyFeatureSetSecure(PWINBIO_PIPELINE, const UCHAR*, SIZE_T,
                                                     const UCHAR*, SIZE_T, PWINBIO_IDENTITY,
                                                     PWINBIO_BIOMETRIC_SUBTYPE,
                                                     PWINBIO_REJECT_DETAIL, PUCHAR*, PSIZE_T) {
    return NotImplemented(44);
}

HRESULT WINAPI EngineAdapterAcceptPrivateSensorTypeInfo(PWINBIO_PIPELINE, const UCHAR*, SIZE_T) {
    return NotImplemented(45);
}

// ---------------------------------------------------------------------------
// The interface table
// ---------------------------------------------------------------------------

namespace {

const WINBIO_ENGINE_INTERFACE kEngineInterface = {
    WINBIO_ENGINE_INTERFACE_VERSION_6,
    WINBIO_ADAPTER_TYPE_ENGINE,
    sizeof(WINBIO_ENGINE_INTERFACE),
    EngineAdapterId,
    EngineAdapterAttach,
    EngineAdapterDetach,
    EngineAdapterClearContext,
    EngineAdapterQueryPreferredFormat,
    EngineAdapterQueryIndexVectorSize,
    EngineAdapterQueryHashAlgorithms,
    EngineAdapterSetHashAlgorithm,
    EngineAdapterQuerySampleHint,
    EngineAdapterAcceptSampleData,
    EngineAdapterExportEngineData,
    EngineAdapterVerifyFeatureSet,
    EngineAdapterIdentifyFeatureSet,
    EngineAdapterCreateEnrollment,
    EngineAdapterUpdateEnrollment,
    EngineAdapterGetEnrollmentStatus,
    EngineAdapterGetEnrollmentHash,
    EngineAdapterCheckForDuplicate,
    EngineAdapterCommitEnrollment,
    EngineAdapterDiscardEnrollment,
    EngineAdapterControlUnit,
    EngineAdapterControlUnitPrivileged,
    EngineAdapterNotifyPowerChange,
    EngineAdapterReserved1,
    EngineAdapterPipelineInit,
    EngineAdapterPipelineCleanup,
    EngineAdapterActivate,
    EngineAdapterDeactivate,
    EngineAdapterQueryExtendedInfo,
    EngineAdapterIdentifyAll,
    EngineAdapterSetEnrollmentSelector,
    EngineAdapterSetEnrollmentParameters,
    EngineAdapterQueryExtendedEnrollmentStatus,
    EngineAdapterRefreshCache,
    EngineAdapterSelectCalibrationFormat,
    EngineAdapterQueryCalibrationData,
    EngineAdapterSetAccountPolicy,
    EngineAdapterCreateKey,
    EngineAdapterIdentifyFeatureSetSecure,
    EngineAdapterAcceptPrivateSensorTypeInfo,
    EngineAdapterCreateEnrollmentAuthenticated,
    EngineAdapterIdentifyFeatureSetAuthenticated,
};

} // namespace

extern "C" HRESULT WINAPI WbioQueryEngineInterface(PWINBIO_ENGINE_INTERFACE* EngineInterface) {
    if (EngineInterface == nullptr) {
        return E_POINTER;
    }
    // Handed out through the framework's non-const pointer; nobody writes to it.
    *EngineInterface = const_cast<PWINBIO_ENGINE_INTERFACE>(&kEngineInterface);
    return S_OK;
}
