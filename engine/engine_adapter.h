// The engine adapter: its per-pipeline context and the operations of its
// interface table. Nothing is matched on the host; every working operation is
// a request to the chip through the device channel.
#pragma once
#include <windows.h>
#include <winbio_adapter.h>
#include "common/adapter_shared.h"
#include "common/trace.h"
#include "device/device_objects.h"
#include "device/driver_interface.h"
#include "storage/database_file.h"

// {B876FDC8-34E7-471A-82C8-9CBA6A3538EC}
inline constexpr GUID EngineAdapterId = {
    0xB876FDC8, 0x34E7, 0x471A, {0x82, 0xC8, 0x9C, 0xBA, 0x6A, 0x35, 0x38, 0xEC}};

// The vendor data format the engine names as its preferred one.
// {7A23C065-7884-45A4-9F01-CBA7FBCB0179}
inline constexpr GUID MocVendorFormatId = {
    0x7A23C065, 0x7884, 0x45A4, {0x9F, 0x01, 0xCB, 0xA7, 0xFB, 0xCB, 0x01, 0x79}};

inline constexpr size_t kStatisticsPathChars = 1024;

struct _WINIBIO_ENGINE_CONTEXT {
    CMocEngineDevice* Device; // created last by a successful attach
    BOOL Enrolling;
    HRESULT AuthenticatedStartResult;
    BOOL AuthenticatedStartDone;
    BYTE SamplesPerEnrollment;
    BYTE SamplesRemaining;
    DWORD TemplateSlotCount;
    BOOL OwnerIdMode;
    BOOL HashedSecureIdentities;
    BYTE* TemplateTable; // from the general-purpose allocator
    DWORD TemplateTableSize;
    BYTE UsedSlotCount;
    DWORD MatchDataLength;
    HRESULT LastMatchResult;
    DWORD LastRejectDetail;
    MatchDetail LastMatchDetail;
    ULONG64 SampleToken;
    BYTE SensorIdDigest[32];
    char UnitLabel[kUnitLabelChars];
    MatchStatistics Statistics; // working copy of the counters in the private file
    char StatisticsPath[kStatisticsPathChars];
    OVERLAPPED Overlapped; // hEvent: manual-reset, created by attach
};

// The context of the pipeline when it is complete. An attach that failed part
// way leaves a context without device object (and perhaps without event or
// table) for the detach to release; no other operation may use it.
PWINIBIO_ENGINE_CONTEXT UsableEngineContext(PWINBIO_PIPELINE pipeline);

// The start every working operation shares: its pointers (E_POINTER), then the
// context (WINBIO_E_INVALID_DEVICE_STATE); S_OK with the context.
HRESULT StartEngineOperation(PWINBIO_PIPELINE pipeline, bool pointersPresent,
                             PWINIBIO_ENGINE_CONTEXT* context);

// Traces an operation's result as message `number` of `unit` with its `text`,
// with the unit label once there is a context, and returns the result.
HRESULT TraceEngineResult(const GUID& unit, USHORT number, TraceText text,
                          const WINIBIO_ENGINE_CONTEXT* context, HRESULT hr);

// The table handed out by WbioQueryEngineInterface.
extern "C" __attribute__((visibility("default"))) HRESULT WINAPI
WbioQueryEngineInterface(PWINBIO_ENGINE_INTERFACE* EngineInterface);

// Frame and fixed operations.
HRESULT WINAPI EngineAdapterAttach(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterDetach(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterClearContext(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterQueryPreferredFormat(PWINBIO_PIPELINE Pipeline,
                                                 PWINBIO_REGISTERED_FORMAT StandardFormat,
                                                 PWINBIO_UUID VendorFormat);
HRESULT WINAPI EngineAdapterQueryIndexVectorSize(PWINBIO_PIPELINE Pipeline,
                                                 PSIZE_T IndexElementCount);
HRESULT WINAPI EngineAdapterQueryHashAlgorithms(PWINBIO_PIPELINE Pipeline, PSIZE_T AlgorithmCount,
                                                PSIZE_T AlgorithmBufferSize,
                                                PUCHAR* AlgorithmBuffer);
HRESULT WINAPI EngineAdapterSetHashAlgorithm(PWINBIO_PIPELINE Pipeline, SIZE_T AlgorithmBufferSize,
                                             PUCHAR AlgorithmBuffer);
HRESULT WINAPI EngineAdapterQuerySampleHint(PWINBIO_PIPELINE Pipeline, PSIZE_T SampleHint);
HRESULT WINAPI EngineAdapterExportEngineData(PWINBIO_PIPELINE Pipeline, WINBIO_BIR_DATA_FLAGS Flags,
                                             PWINBIO_BIR* SampleBuffer, PSIZE_T SampleSize);
HRESULT WINAPI EngineAdapterGetEnrollmentHash(PWINBIO_PIPELINE Pipeline, PUCHAR* HashValue,
                                              PSIZE_T HashSize);
HRESULT WINAPI EngineAdapterReserved1(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity);
HRESULT WINAPI EngineAdapterPipelineInit(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterPipelineCleanup(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterQueryExtendedInfo(PWINBIO_PIPELINE Pipeline,
                                              PWINBIO_EXTENDED_ENGINE_INFO EngineInfo,
                                              SIZE_T EngineInfoSize);
HRESULT WINAPI EngineAdapterIdentifyAll(PWINBIO_PIPELINE Pipeline, PSIZE_T PresenceCount,
                                        PWINBIO_PRESENCE* PresenceArray);
HRESULT WINAPI EngineAdapterSetEnrollmentSelector(PWINBIO_PIPELINE Pipeline,
                                                  ULONGLONG SelectorValue);
HRESULT WINAPI EngineAdapterSetEnrollmentParameters(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENROLLMENT_PARAMETERS Parameters);
HRESULT WINAPI EngineAdapterQueryExtendedEnrollmentStatus(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENROLLMENT_STATUS EnrollmentStatus,
    SIZE_T EnrollmentStatusSize);
HRESULT WINAPI EngineAdapterRefreshCache(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterSelectCalibrationFormat(PWINBIO_PIPELINE Pipeline,
                                                    PWINBIO_UUID FormatArray, SIZE_T FormatCount,
                                                    PWINBIO_UUID SelectedFormat,
                                                    PSIZE_T MaxBufferSize);
HRESULT WINAPI EngineAdapterQueryCalibrationData(PWINBIO_PIPELINE Pipeline,
                                                 PBOOLEAN DiscardAndRepeatCapture,
                                                 PUCHAR CalibrationBuffer,
                                                 PSIZE_T CalibrationBufferSize,
                                                 SIZE_T MaxBufferSize);
HRESULT WINAPI EngineAdapterSetAccountPolicy(PWINBIO_PIPELINE Pipeline,
                                             PWINBIO_ACCOUNT_POLICY PolicyItemArray,
                                             SIZE_T PolicyItemCount);
HRESULT WINAPI EngineAdapterCreateKey(PWINBIO_PIPELINE Pipeline, const UCHAR* Key, SIZE_T KeySize,
                                      PUCHAR KeyIdentifier, SIZE_T KeyIdentifierSize,
                                      PSIZE_T ResultSize);
HRESULT WINAPI EngineAdapterIdentifyFeatureSetSecure(
    PWINBIO_PIPELINE Pipeline, const UCHAR* Nonce, SIZE_T NonceSize, const UCHAR* KeyIdentifier,
    SIZE_T KeyIdentifierSize, PWINBIO_IDENTITY Identity, PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
    PWINBIO_REJECT_DETAIL RejectDetail, PUCHAR* Authorization, PSIZE_T AuthorizationSize);
HRESULT WINAPI EngineAdapterAcceptPrivateSensorTypeInfo(PWINBIO_PIPELINE Pipeline,
                                                        const UCHAR* TypeInfoBufferAddress,
                                                        SIZE_T TypeInfoBufferSize);

// Sample acceptance.
HRESULT WINAPI EngineAdapterAcceptSampleData(PWINBIO_PIPELINE Pipeline, PWINBIO_BIR SampleBuffer,
                                             SIZE_T SampleSize, WINBIO_BIR_PURPOSE Purpose,
                                             PWINBIO_REJECT_DETAIL RejectDetail);

// Identify and verify on the chip.
HRESULT WINAPI EngineAdapterVerifyFeatureSet(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                             WINBIO_BIOMETRIC_SUBTYPE SubFactor, PBOOLEAN Match,
                                             PUCHAR* PayloadBlob, PSIZE_T PayloadBlobSize,
                                             PUCHAR* HashValue, PSIZE_T HashSize,
                                             PWINBIO_REJECT_DETAIL RejectDetail);
HRESULT WINAPI EngineAdapterIdentifyFeatureSet(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                               PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                               PUCHAR* PayloadBlob, PSIZE_T PayloadBlobSize,
                                               PUCHAR* HashValue, PSIZE_T HashSize,
                                               PWINBIO_REJECT_DETAIL RejectDetail);
HRESULT WINAPI EngineAdapterIdentifyFeatureSetAuthenticated(
    PWINBIO_PIPELINE Pipeline, const UCHAR* Nonce, SIZE_T NonceSize, PWINBIO_IDENTITY Identity,
    PWINBIO_BIOMETRIC_SUBTYPE SubFactor, PWINBIO_REJECT_DETAIL RejectDetail, PUCHAR* Authorization,
    PSIZE_T AuthorizationSize);

// Enrollment.
HRESULT WINAPI EngineAdapterCreateEnrollment(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterCreateEnrollmentAuthenticated(PWINBIO_PIPELINE Pipeline, PUCHAR* Nonce,
                                                          PSIZE_T NonceSize);
HRESULT WINAPI EngineAdapterUpdateEnrollment(PWINBIO_PIPELINE Pipeline,
                                             PWINBIO_REJECT_DETAIL RejectDetail);
HRESULT WINAPI EngineAdapterGetEnrollmentStatus(PWINBIO_PIPELINE Pipeline,
                                                PWINBIO_REJECT_DETAIL RejectDetail);
HRESULT WINAPI EngineAdapterCheckForDuplicate(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                              PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                              PBOOLEAN Duplicate);
HRESULT WINAPI EngineAdapterCommitEnrollment(PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity,
                                             WINBIO_BIOMETRIC_SUBTYPE SubFactor, PUCHAR PayloadBlob,
                                             SIZE_T PayloadBlobSize);
HRESULT WINAPI EngineAdapterDiscardEnrollment(PWINBIO_PIPELINE Pipeline);

// Private control codes, power and activation.
HRESULT WINAPI EngineAdapterControlUnit(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                        PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                        PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                        PSIZE_T ReceiveDataSize, PULONG OperationStatus);
HRESULT WINAPI EngineAdapterControlUnitPrivileged(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                                  PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                                  PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                                  PSIZE_T ReceiveDataSize, PULONG OperationStatus);
HRESULT WINAPI EngineAdapterNotifyPowerChange(PWINBIO_PIPELINE Pipeline, ULONG PowerEventType);
HRESULT WINAPI EngineAdapterActivate(PWINBIO_PIPELINE Pipeline);
HRESULT WINAPI EngineAdapterDeactivate(PWINBIO_PIPELINE Pipeline);

// Traces whether the active console session is locked.
void TraceConsoleSessionLockState(const char* unitLabel);
