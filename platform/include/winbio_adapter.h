// Adapter-side records of the biometric framework: the pipeline that joins a
// unit's three adapters and the interface tables they export.
#pragma once
#include "wintypes.h"
#include "winerror.h"
#include "winbio_err.h"
#include "winbio_types.h"
#include "winbio_ioctl.h"

// The contexts are the adapters' own records; the platform spells them so.
typedef struct _WINIBIO_SENSOR_CONTEXT WINIBIO_SENSOR_CONTEXT, *PWINIBIO_SENSOR_CONTEXT;
typedef struct _WINIBIO_ENGINE_CONTEXT WINIBIO_ENGINE_CONTEXT, *PWINIBIO_ENGINE_CONTEXT;
typedef struct _WINIBIO_STORAGE_CONTEXT WINIBIO_STORAGE_CONTEXT, *PWINIBIO_STORAGE_CONTEXT;

typedef struct _WINBIO_SENSOR_INTERFACE WINBIO_SENSOR_INTERFACE, *PWINBIO_SENSOR_INTERFACE;
typedef struct _WINBIO_ENGINE_INTERFACE WINBIO_ENGINE_INTERFACE, *PWINBIO_ENGINE_INTERFACE;
typedef struct _WINBIO_STORAGE_INTERFACE WINBIO_STORAGE_INTERFACE, *PWINBIO_STORAGE_INTERFACE;
typedef struct _WINBIO_FRAMEWORK_INTERFACE WINBIO_FRAMEWORK_INTERFACE, *PWINBIO_FRAMEWORK_INTERFACE;

typedef struct _WINBIO_PIPELINE {
    HANDLE SensorHandle;
    HANDLE EngineHandle;
    HANDLE StorageHandle;
    PWINBIO_SENSOR_INTERFACE SensorInterface;
    PWINBIO_ENGINE_INTERFACE EngineInterface;
    PWINBIO_STORAGE_INTERFACE StorageInterface;
    PWINIBIO_SENSOR_CONTEXT SensorContext;
    PWINIBIO_ENGINE_CONTEXT EngineContext;
    PWINIBIO_STORAGE_CONTEXT StorageContext;
    PWINBIO_FRAMEWORK_INTERFACE FrameworkInterface;
} WINBIO_PIPELINE, *PWINBIO_PIPELINE;
static_assert(sizeof(WINBIO_PIPELINE) == 80, "WINBIO_PIPELINE");
static_assert(offsetof(WINBIO_PIPELINE, SensorContext) == 48, "WINBIO_PIPELINE.SensorContext");

// Head of every adapter interface table.
typedef struct _WINBIO_ADAPTER_INTERFACE_VERSION {
    USHORT MajorVersion;
    USHORT MinorVersion;
} WINBIO_ADAPTER_INTERFACE_VERSION, *PWINBIO_ADAPTER_INTERFACE_VERSION;

#define WINBIO_MAKE_INTERFACE_VERSION(major, minor)                                                \
    WINBIO_ADAPTER_INTERFACE_VERSION {                                                             \
        (USHORT)(major), (USHORT)(minor)                                                           \
    }

#define WINBIO_SENSOR_INTERFACE_VERSION_6 WINBIO_MAKE_INTERFACE_VERSION(6, 0)
#define WINBIO_ENGINE_INTERFACE_VERSION_6 WINBIO_MAKE_INTERFACE_VERSION(6, 0)
#define WINBIO_STORAGE_INTERFACE_VERSION_5 WINBIO_MAKE_INTERFACE_VERSION(5, 0)

// Slots that several tables share by shape.
typedef HRESULT(WINAPI* PIBIO_PIPELINE_FN)(PWINBIO_PIPELINE Pipeline);
typedef HRESULT(WINAPI* PIBIO_CONTROL_UNIT_FN)(PWINBIO_PIPELINE Pipeline, ULONG ControlCode,
                                               PUCHAR SendBuffer, SIZE_T SendBufferSize,
                                               PUCHAR ReceiveBuffer, SIZE_T ReceiveBufferSize,
                                               PSIZE_T ReceiveDataSize, PULONG OperationStatus);
typedef HRESULT(WINAPI* PIBIO_NOTIFY_POWER_CHANGE_FN)(PWINBIO_PIPELINE Pipeline,
                                                      ULONG PowerEventType);

// ---- Sensor adapter (version 6.0, 31 slots) -------------------------------------------------

typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_ATTACH_FN;
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_DETACH_FN;
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_CLEAR_CONTEXT_FN;
typedef HRESULT(WINAPI* PIBIO_SENSOR_QUERY_STATUS_FN)(PWINBIO_PIPELINE Pipeline,
                                                      PWINBIO_SENSOR_STATUS Status);
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_RESET_FN;
typedef HRESULT(WINAPI* PIBIO_SENSOR_SET_MODE_FN)(PWINBIO_PIPELINE Pipeline,
                                                  WINBIO_SENSOR_MODE Mode);
typedef HRESULT(WINAPI* PIBIO_SENSOR_SET_INDICATOR_STATUS_FN)(
    PWINBIO_PIPELINE Pipeline, WINBIO_INDICATOR_STATUS IndicatorStatus);
typedef HRESULT(WINAPI* PIBIO_SENSOR_GET_INDICATOR_STATUS_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_INDICATOR_STATUS IndicatorStatus);
typedef HRESULT(WINAPI* PIBIO_SENSOR_START_CAPTURE_FN)(PWINBIO_PIPELINE Pipeline,
                                                       WINBIO_BIR_PURPOSE Purpose,
                                                       LPOVERLAPPED* Overlapped);
typedef HRESULT(WINAPI* PIBIO_SENSOR_FINISH_CAPTURE_FN)(PWINBIO_PIPELINE Pipeline,
                                                        PWINBIO_REJECT_DETAIL RejectDetail);
typedef HRESULT(WINAPI* PIBIO_SENSOR_EXPORT_SENSOR_DATA_FN)(PWINBIO_PIPELINE Pipeline,
                                                            PWINBIO_BIR* SampleBuffer,
                                                            PSIZE_T SampleSize);
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_CANCEL_FN;
typedef HRESULT(WINAPI* PIBIO_SENSOR_PUSH_DATA_TO_ENGINE_FN)(PWINBIO_PIPELINE Pipeline,
                                                             WINBIO_BIR_PURPOSE Purpose,
                                                             WINBIO_BIR_DATA_FLAGS Flags,
                                                             PWINBIO_REJECT_DETAIL RejectDetail);
typedef PIBIO_CONTROL_UNIT_FN PIBIO_SENSOR_CONTROL_UNIT_FN;
typedef PIBIO_CONTROL_UNIT_FN PIBIO_SENSOR_CONTROL_UNIT_PRIVILEGED_FN;
typedef PIBIO_NOTIFY_POWER_CHANGE_FN PIBIO_SENSOR_NOTIFY_POWER_CHANGE_FN;
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_PIPELINE_INIT_FN;
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_PIPELINE_CLEANUP_FN;
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_ACTIVATE_FN;
typedef PIBIO_PIPELINE_FN PIBIO_SENSOR_DEACTIVATE_FN;
typedef HRESULT(WINAPI* PIBIO_SENSOR_QUERY_EXTENDED_INFO_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_SENSOR_INFO SensorInfo, SIZE_T SensorInfoSize);
typedef HRESULT(WINAPI* PIBIO_SENSOR_QUERY_CALIBRATION_FORMATS_FN)(PWINBIO_PIPELINE Pipeline,
                                                                   PWINBIO_UUID FormatArray,
                                                                   SIZE_T FormatArraySize,
                                                                   PSIZE_T FormatCount);
typedef HRESULT(WINAPI* PIBIO_SENSOR_SET_CALIBRATION_FORMAT_FN)(PWINBIO_PIPELINE Pipeline,
                                                                PWINBIO_UUID Format);
typedef HRESULT(WINAPI* PIBIO_SENSOR_ACCEPT_CALIBRATION_DATA_FN)(PWINBIO_PIPELINE Pipeline,
                                                                 PUCHAR CalibrationBuffer,
                                                                 SIZE_T CalibrationBufferSize);
typedef HRESULT(WINAPI* PIBIO_SENSOR_ASYNC_IMPORT_RAW_BUFFER_FN)(PWINBIO_PIPELINE Pipeline,
                                                                 PUCHAR RawBufferAddress,
                                                                 SIZE_T RawBufferSize,
                                                                 PUCHAR* ResultBufferAddress,
                                                                 PSIZE_T ResultBufferSize);
typedef HRESULT(WINAPI* PIBIO_SENSOR_ASYNC_IMPORT_SECURE_BUFFER_FN)(
    PWINBIO_PIPELINE Pipeline, GUID SecureBufferIdentifier, PUCHAR MetadataBufferAddress,
    SIZE_T MetadataBufferSize, PUCHAR* ResultBufferAddress, PSIZE_T ResultBufferSize);
typedef HRESULT(WINAPI* PIBIO_SENSOR_QUERY_PRIVATE_SENSOR_TYPE_FN)(PWINBIO_PIPELINE Pipeline,
                                                                   PUCHAR TypeInfoBufferAddress,
                                                                   SIZE_T TypeInfoBufferSize,
                                                                   PSIZE_T TypeInfoDataSize);
typedef HRESULT(WINAPI* PIBIO_SENSOR_CONNECT_SECURE_FN)(
    PWINBIO_PIPELINE Pipeline, const WINBIO_SECURE_CONNECTION_PARAMS* ConnectionParams,
    PWINBIO_SECURE_CONNECTION_DATA* ConnectionData);
typedef HRESULT(WINAPI* PIBIO_SENSOR_START_CAPTURE_EX_FN)(PWINBIO_PIPELINE Pipeline,
                                                          WINBIO_BIR_PURPOSE Purpose,
                                                          const void* Nonce, SIZE_T NonceSize,
                                                          UCHAR Flags, LPOVERLAPPED* Overlapped);
typedef HRESULT(WINAPI* PIBIO_SENSOR_START_NOTIFY_WAKE_FN)(PWINBIO_PIPELINE Pipeline,
                                                           LPOVERLAPPED* Overlapped);
typedef HRESULT(WINAPI* PIBIO_SENSOR_FINISH_NOTIFY_WAKE_FN)(PWINBIO_PIPELINE Pipeline,
                                                            PWINBIO_REJECT_DETAIL Reason);

struct _WINBIO_SENSOR_INTERFACE {
    WINBIO_ADAPTER_INTERFACE_VERSION Version;
    WINBIO_ADAPTER_TYPE Type;
    SIZE_T Size;
    GUID AdapterId;

    PIBIO_SENSOR_ATTACH_FN Attach;
    PIBIO_SENSOR_DETACH_FN Detach;
    PIBIO_SENSOR_CLEAR_CONTEXT_FN ClearContext;
    PIBIO_SENSOR_QUERY_STATUS_FN QueryStatus;
    PIBIO_SENSOR_RESET_FN Reset;
    PIBIO_SENSOR_SET_MODE_FN SetMode;
    PIBIO_SENSOR_SET_INDICATOR_STATUS_FN SetIndicatorStatus;
    PIBIO_SENSOR_GET_INDICATOR_STATUS_FN GetIndicatorStatus;
    PIBIO_SENSOR_START_CAPTURE_FN StartCapture;
    PIBIO_SENSOR_FINISH_CAPTURE_FN FinishCapture;
    PIBIO_SENSOR_EXPORT_SENSOR_DATA_FN ExportSensorData;
    PIBIO_SENSOR_CANCEL_FN Cancel;
    PIBIO_SENSOR_PUSH_DATA_TO_ENGINE_FN PushDataToEngine;
    PIBIO_SENSOR_CONTROL_UNIT_FN ControlUnit;
    PIBIO_SENSOR_CONTROL_UNIT_PRIVILEGED_FN ControlUnitPrivileged;
    PIBIO_SENSOR_NOTIFY_POWER_CHANGE_FN NotifyPowerChange;
    PIBIO_SENSOR_PIPELINE_INIT_FN PipelineInit;
    PIBIO_SENSOR_PIPELINE_CLEANUP_FN PipelineCleanup;
    PIBIO_SENSOR_ACTIVATE_FN Activate;
    PIBIO_SENSOR_DEACTIVATE_FN Deactivate;
    PIBIO_SENSOR_QUERY_EXTENDED_INFO_FN QueryExtendedInfo;
    PIBIO_SENSOR_QUERY_CALIBRATION_FORMATS_FN QueryCalibrationFormats;
    PIBIO_SENSOR_SET_CALIBRATION_FORMAT_FN SetCalibrationFormat;
    PIBIO_SENSOR_ACCEPT_CALIBRATION_DATA_FN AcceptCalibrationData;
    PIBIO_SENSOR_ASYNC_IMPORT_RAW_BUFFER_FN AsyncImportRawBuffer;
    PIBIO_SENSOR_ASYNC_IMPORT_SECURE_BUFFER_FN AsyncImportSecureBuffer;
    PIBIO_SENSOR_QUERY_PRIVATE_SENSOR_TYPE_FN QueryPrivateSensorType;
    PIBIO_SENSOR_CONNECT_SECURE_FN ConnectSecure;
    PIBIO_SENSOR_START_CAPTURE_EX_FN StartCaptureEx;
    PIBIO_SENSOR_START_NOTIFY_WAKE_FN StartNotifyWake;
    PIBIO_SENSOR_FINISH_NOTIFY_WAKE_FN FinishNotifyWake;
};
static_assert(sizeof(WINBIO_SENSOR_INTERFACE) == 280, "WINBIO_SENSOR_INTERFACE");
static_assert(offsetof(WINBIO_SENSOR_INTERFACE, Attach) == 32, "WINBIO_SENSOR_INTERFACE.Attach");
static_assert(offsetof(WINBIO_SENSOR_INTERFACE, ConnectSecure) == 248,
              "WINBIO_SENSOR_INTERFACE.ConnectSecure");

// ---- Engine adapter (version 6.0, 41 slots) -------------------------------------------------

typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_ATTACH_FN;
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_DETACH_FN;
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_CLEAR_CONTEXT_FN;
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_PREFERRED_FORMAT_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_REGISTERED_FORMAT StandardFormat, PWINBIO_UUID VendorFormat);
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_INDEX_VECTOR_SIZE_FN)(PWINBIO_PIPELINE Pipeline,
                                                                 PSIZE_T IndexElementCount);
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_HASH_ALGORITHMS_FN)(PWINBIO_PIPELINE Pipeline,
                                                               PSIZE_T AlgorithmCount,
                                                               PSIZE_T AlgorithmBufferSize,
                                                               PUCHAR* AlgorithmBuffer);
typedef HRESULT(WINAPI* PIBIO_ENGINE_SET_HASH_ALGORITHM_FN)(PWINBIO_PIPELINE Pipeline,
                                                            SIZE_T AlgorithmBufferSize,
                                                            PUCHAR AlgorithmBuffer);
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_SAMPLE_HINT_FN)(PWINBIO_PIPELINE Pipeline,
                                                           PSIZE_T SampleHint);
typedef HRESULT(WINAPI* PIBIO_ENGINE_ACCEPT_SAMPLE_DATA_FN)(PWINBIO_PIPELINE Pipeline,
                                                            PWINBIO_BIR SampleBuffer,
                                                            SIZE_T SampleSize,
                                                            WINBIO_BIR_PURPOSE Purpose,
                                                            PWINBIO_REJECT_DETAIL RejectDetail);
typedef HRESULT(WINAPI* PIBIO_ENGINE_EXPORT_ENGINE_DATA_FN)(PWINBIO_PIPELINE Pipeline,
                                                            WINBIO_BIR_DATA_FLAGS Flags,
                                                            PWINBIO_BIR* SampleBuffer,
                                                            PSIZE_T SampleSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_VERIFY_FEATURE_SET_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity, WINBIO_BIOMETRIC_SUBTYPE SubFactor,
    PBOOLEAN Match, PUCHAR* PayloadBlob, PSIZE_T PayloadBlobSize, PUCHAR* HashValue,
    PSIZE_T HashSize, PWINBIO_REJECT_DETAIL RejectDetail);
typedef HRESULT(WINAPI* PIBIO_ENGINE_IDENTIFY_FEATURE_SET_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity, PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
    PUCHAR* PayloadBlob, PSIZE_T PayloadBlobSize, PUCHAR* HashValue, PSIZE_T HashSize,
    PWINBIO_REJECT_DETAIL RejectDetail);
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_CREATE_ENROLLMENT_FN;
typedef HRESULT(WINAPI* PIBIO_ENGINE_UPDATE_ENROLLMENT_FN)(PWINBIO_PIPELINE Pipeline,
                                                           PWINBIO_REJECT_DETAIL RejectDetail);
typedef HRESULT(WINAPI* PIBIO_ENGINE_GET_ENROLLMENT_STATUS_FN)(PWINBIO_PIPELINE Pipeline,
                                                               PWINBIO_REJECT_DETAIL RejectDetail);
typedef HRESULT(WINAPI* PIBIO_ENGINE_GET_ENROLLMENT_HASH_FN)(PWINBIO_PIPELINE Pipeline,
                                                             PUCHAR* HashValue, PSIZE_T HashSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_CHECK_FOR_DUPLICATE_FN)(PWINBIO_PIPELINE Pipeline,
                                                             PWINBIO_IDENTITY Identity,
                                                             PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                                             PBOOLEAN Duplicate);
typedef HRESULT(WINAPI* PIBIO_ENGINE_COMMIT_ENROLLMENT_FN)(PWINBIO_PIPELINE Pipeline,
                                                           PWINBIO_IDENTITY Identity,
                                                           WINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                                           PUCHAR PayloadBlob,
                                                           SIZE_T PayloadBlobSize);
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_DISCARD_ENROLLMENT_FN;
typedef PIBIO_CONTROL_UNIT_FN PIBIO_ENGINE_CONTROL_UNIT_FN;
typedef PIBIO_CONTROL_UNIT_FN PIBIO_ENGINE_CONTROL_UNIT_PRIVILEGED_FN;
typedef PIBIO_NOTIFY_POWER_CHANGE_FN PIBIO_ENGINE_NOTIFY_POWER_CHANGE_FN;
typedef HRESULT(WINAPI* PIBIO_ENGINE_RESERVED_1_FN)(PWINBIO_PIPELINE Pipeline,
                                                    PWINBIO_IDENTITY Identity);
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_PIPELINE_INIT_FN;
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_PIPELINE_CLEANUP_FN;
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_ACTIVATE_FN;
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_DEACTIVATE_FN;
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_EXTENDED_INFO_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENGINE_INFO EngineInfo, SIZE_T EngineInfoSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_IDENTIFY_ALL_FN)(PWINBIO_PIPELINE Pipeline,
                                                      PSIZE_T PresenceCount,
                                                      PWINBIO_PRESENCE* PresenceArray);
typedef HRESULT(WINAPI* PIBIO_ENGINE_SET_ENROLLMENT_SELECTOR_FN)(PWINBIO_PIPELINE Pipeline,
                                                                 ULONGLONG SelectorValue);
typedef HRESULT(WINAPI* PIBIO_ENGINE_SET_ENROLLMENT_PARAMETERS_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENROLLMENT_PARAMETERS Parameters);
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_EXTENDED_ENROLLMENT_STATUS_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_ENROLLMENT_STATUS EnrollmentStatus,
    SIZE_T EnrollmentStatusSize);
typedef PIBIO_PIPELINE_FN PIBIO_ENGINE_REFRESH_CACHE_FN;
typedef HRESULT(WINAPI* PIBIO_ENGINE_SELECT_CALIBRATION_FORMAT_FN)(PWINBIO_PIPELINE Pipeline,
                                                                   PWINBIO_UUID FormatArray,
                                                                   SIZE_T FormatCount,
                                                                   PWINBIO_UUID SelectedFormat,
                                                                   PSIZE_T MaxBufferSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_QUERY_CALIBRATION_DATA_FN)(PWINBIO_PIPELINE Pipeline,
                                                                PBOOLEAN DiscardAndRepeatCapture,
                                                                PUCHAR CalibrationBuffer,
                                                                PSIZE_T CalibrationBufferSize,
                                                                SIZE_T MaxBufferSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_SET_ACCOUNT_POLICY_FN)(PWINBIO_PIPELINE Pipeline,
                                                            PWINBIO_ACCOUNT_POLICY PolicyItemArray,
                                                            SIZE_T PolicyItemCount);
typedef HRESULT(WINAPI* PIBIO_ENGINE_CREATE_KEY_FN)(PWINBIO_PIPELINE Pipeline, const UCHAR* Key,
                                                    SIZE_T KeySize, PUCHAR KeyIdentifier,
                                                    SIZE_T KeyIdentifierSize, PSIZE_T ResultSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_IDENTIFY_FEATURE_SET_SECURE_FN)(
    PWINBIO_PIPELINE Pipeline, const UCHAR* Nonce, SIZE_T NonceSize, const UCHAR* KeyIdentifier,
    SIZE_T KeyIdentifierSize, PWINBIO_IDENTITY Identity, PWINBIO_BIOMETRIC_SUBTYPE SubFactor,
    PWINBIO_REJECT_DETAIL RejectDetail, PUCHAR* Authorization, PSIZE_T AuthorizationSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_ACCEPT_PRIVATE_SENSOR_TYPE_INFO_FN)(
    PWINBIO_PIPELINE Pipeline, const UCHAR* TypeInfoBufferAddress, SIZE_T TypeInfoBufferSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_CREATE_ENROLLMENT_AUTHENTICATED_FN)(PWINBIO_PIPELINE Pipeline,
                                                                         PUCHAR* Nonce,
                                                                         PSIZE_T NonceSize);
typedef HRESULT(WINAPI* PIBIO_ENGINE_IDENTIFY_FEATURE_SET_AUTHENTICATED_FN)(
    PWINBIO_PIPELINE Pipeline, const UCHAR* Nonce, SIZE_T NonceSize, PWINBIO_IDENTITY Identity,
    PWINBIO_BIOMETRIC_SUBTYPE SubFactor, PWINBIO_REJECT_DETAIL RejectDetail, PUCHAR* Authorization,
    PSIZE_T AuthorizationSize);

struct _WINBIO_ENGINE_INTERFACE {
    WINBIO_ADAPTER_INTERFACE_VERSION Version;
    WINBIO_ADAPTER_TYPE Type;
    SIZE_T Size;
    GUID AdapterId;

    PIBIO_ENGINE_ATTACH_FN Attach;
    PIBIO_ENGINE_DETACH_FN Detach;
    PIBIO_ENGINE_CLEAR_CONTEXT_FN ClearContext;
    PIBIO_ENGINE_QUERY_PREFERRED_FORMAT_FN QueryPreferredFormat;
    PIBIO_ENGINE_QUERY_INDEX_VECTOR_SIZE_FN QueryIndexVectorSize;
    PIBIO_ENGINE_QUERY_HASH_ALGORITHMS_FN QueryHashAlgorithms;
    PIBIO_ENGINE_SET_HASH_ALGORITHM_FN SetHashAlgorithm;
    PIBIO_ENGINE_QUERY_SAMPLE_HINT_FN QuerySampleHint;
    PIBIO_ENGINE_ACCEPT_SAMPLE_DATA_FN AcceptSampleData;
    PIBIO_ENGINE_EXPORT_ENGINE_DATA_FN ExportEngineData;
    PIBIO_ENGINE_VERIFY_FEATURE_SET_FN VerifyFeatureSet;
    PIBIO_ENGINE_IDENTIFY_FEATURE_SET_FN IdentifyFeatureSet;
    PIBIO_ENGINE_CREATE_ENROLLMENT_FN CreateEnrollment;
    PIBIO_ENGINE_UPDATE_ENROLLMENT_FN UpdateEnrollment;
    PIBIO_ENGINE_GET_ENROLLMENT_STATUS_FN GetEnrollmentStatus;
    PIBIO_ENGINE_GET_ENROLLMENT_HASH_FN GetEnrollmentHash;
    PIBIO_ENGINE_CHECK_FOR_DUPLICATE_FN CheckForDuplicate;
    PIBIO_ENGINE_COMMIT_ENROLLMENT_FN CommitEnrollment;
    PIBIO_ENGINE_DISCARD_ENROLLMENT_FN DiscardEnrollment;
    PIBIO_ENGINE_CONTROL_UNIT_FN ControlUnit;
    PIBIO_ENGINE_CONTROL_UNIT_PRIVILEGED_FN ControlUnitPrivileged;
    PIBIO_ENGINE_NOTIFY_POWER_CHANGE_FN NotifyPowerChange;
    PIBIO_ENGINE_RESERVED_1_FN Reserved_1;
    PIBIO_ENGINE_PIPELINE_INIT_FN PipelineInit;
    PIBIO_ENGINE_PIPELINE_CLEANUP_FN PipelineCleanup;
    PIBIO_ENGINE_ACTIVATE_FN Activate;
    PIBIO_ENGINE_DEACTIVATE_FN Deactivate;
    PIBIO_ENGINE_QUERY_EXTENDED_INFO_FN QueryExtendedInfo;
    PIBIO_ENGINE_IDENTIFY_ALL_FN IdentifyAll;
    PIBIO_ENGINE_SET_ENROLLMENT_SELECTOR_FN SetEnrollmentSelector;
    PIBIO_ENGINE_SET_ENROLLMENT_PARAMETERS_FN SetEnrollmentParameters;
    PIBIO_ENGINE_QUERY_EXTENDED_ENROLLMENT_STATUS_FN QueryExtendedEnrollmentStatus;
    PIBIO_ENGINE_REFRESH_CACHE_FN RefreshCache;
    PIBIO_ENGINE_SELECT_CALIBRATION_FORMAT_FN SelectCalibrationFormat;
    PIBIO_ENGINE_QUERY_CALIBRATION_DATA_FN QueryCalibrationData;
    PIBIO_ENGINE_SET_ACCOUNT_POLICY_FN SetAccountPolicy;
    PIBIO_ENGINE_CREATE_KEY_FN CreateKey;
    PIBIO_ENGINE_IDENTIFY_FEATURE_SET_SECURE_FN IdentifyFeatureSetSecure;
    PIBIO_ENGINE_ACCEPT_PRIVATE_SENSOR_TYPE_INFO_FN AcceptPrivateSensorTypeInfo;
    PIBIO_ENGINE_CREATE_ENROLLMENT_AUTHENTICATED_FN CreateEnrollmentAuthenticated;
    PIBIO_ENGINE_IDENTIFY_FEATURE_SET_AUTHENTICATED_FN IdentifyFeatureSetAuthenticated;
};
static_assert(sizeof(WINBIO_ENGINE_INTERFACE) == 360, "WINBIO_ENGINE_INTERFACE");
static_assert(offsetof(WINBIO_ENGINE_INTERFACE, AcceptSampleData) == 32 + 8 * 8,
              "WINBIO_ENGINE_INTERFACE.AcceptSampleData");

// ---- Storage adapter (version 5.0, 30 slots) ------------------------------------------------

typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_ATTACH_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_DETACH_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_CLEAR_CONTEXT_FN;
typedef HRESULT(WINAPI* PIBIO_STORAGE_CREATE_DATABASE_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_UUID DatabaseId, WINBIO_BIOMETRIC_TYPE Factor,
    PWINBIO_UUID Format, LPCWSTR FilePath, LPCWSTR ConnectString, SIZE_T IndexElementCount,
    SIZE_T InitialSize);
typedef HRESULT(WINAPI* PIBIO_STORAGE_ERASE_DATABASE_FN)(PWINBIO_PIPELINE Pipeline,
                                                         PWINBIO_UUID DatabaseId, LPCWSTR FilePath,
                                                         LPCWSTR ConnectString);
typedef HRESULT(WINAPI* PIBIO_STORAGE_OPEN_DATABASE_FN)(PWINBIO_PIPELINE Pipeline,
                                                        PWINBIO_UUID DatabaseId, LPCWSTR FilePath,
                                                        LPCWSTR ConnectString);
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_CLOSE_DATABASE_FN;
typedef HRESULT(WINAPI* PIBIO_STORAGE_GET_DATA_FORMAT_FN)(PWINBIO_PIPELINE Pipeline,
                                                          PWINBIO_UUID Format,
                                                          PWINBIO_VERSION Version);
typedef HRESULT(WINAPI* PIBIO_STORAGE_GET_DATABASE_SIZE_FN)(PWINBIO_PIPELINE Pipeline,
                                                            PSIZE_T AvailableRecordCount,
                                                            PSIZE_T TotalRecordCount);
typedef HRESULT(WINAPI* PIBIO_STORAGE_ADD_RECORD_FN)(PWINBIO_PIPELINE Pipeline,
                                                     PWINBIO_STORAGE_RECORD RecordContents);
typedef HRESULT(WINAPI* PIBIO_STORAGE_DELETE_RECORD_FN)(PWINBIO_PIPELINE Pipeline,
                                                        PWINBIO_IDENTITY Identity,
                                                        WINBIO_BIOMETRIC_SUBTYPE SubFactor);
typedef HRESULT(WINAPI* PIBIO_STORAGE_QUERY_BY_SUBJECT_FN)(PWINBIO_PIPELINE Pipeline,
                                                           PWINBIO_IDENTITY Identity,
                                                           WINBIO_BIOMETRIC_SUBTYPE SubFactor);
typedef HRESULT(WINAPI* PIBIO_STORAGE_QUERY_BY_CONTENT_FN)(PWINBIO_PIPELINE Pipeline,
                                                           WINBIO_BIOMETRIC_SUBTYPE SubFactor,
                                                           ULONG IndexVector[],
                                                           SIZE_T IndexElementCount);
typedef HRESULT(WINAPI* PIBIO_STORAGE_GET_RECORD_COUNT_FN)(PWINBIO_PIPELINE Pipeline,
                                                           PSIZE_T RecordCount);
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_FIRST_RECORD_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_NEXT_RECORD_FN;
typedef HRESULT(WINAPI* PIBIO_STORAGE_GET_CURRENT_RECORD_FN)(PWINBIO_PIPELINE Pipeline,
                                                             PWINBIO_STORAGE_RECORD RecordContents);
typedef PIBIO_CONTROL_UNIT_FN PIBIO_STORAGE_CONTROL_UNIT_FN;
typedef PIBIO_CONTROL_UNIT_FN PIBIO_STORAGE_CONTROL_UNIT_PRIVILEGED_FN;
typedef PIBIO_NOTIFY_POWER_CHANGE_FN PIBIO_STORAGE_NOTIFY_POWER_CHANGE_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_PIPELINE_INIT_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_PIPELINE_CLEANUP_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_ACTIVATE_FN;
typedef PIBIO_PIPELINE_FN PIBIO_STORAGE_DEACTIVATE_FN;
typedef HRESULT(WINAPI* PIBIO_STORAGE_QUERY_EXTENDED_INFO_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_EXTENDED_STORAGE_INFO StorageInfo, SIZE_T StorageInfoSize);
typedef HRESULT(WINAPI* PIBIO_STORAGE_NOTIFY_DATABASE_CHANGE_FN)(PWINBIO_PIPELINE Pipeline,
                                                                 BOOLEAN RecordsAdded);
typedef HRESULT(WINAPI* PIBIO_STORAGE_RESERVED_1_FN)(const PWINBIO_PIPELINE Pipeline,
                                                     PWINBIO_IDENTITY Identity, PULONG64 Reserved1,
                                                     PULONG64 Reserved2);
typedef HRESULT(WINAPI* PIBIO_STORAGE_RESERVED_2_FN)(const PWINBIO_PIPELINE Pipeline,
                                                     PWINBIO_IDENTITY Identity);
typedef HRESULT(WINAPI* PIBIO_STORAGE_UPDATE_RECORD_BEGIN_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_IDENTITY Identity, WINBIO_BIOMETRIC_SUBTYPE SubFactor,
    PWINBIO_STORAGE_RECORD RecordContents);
typedef HRESULT(WINAPI* PIBIO_STORAGE_UPDATE_RECORD_COMMIT_FN)(
    PWINBIO_PIPELINE Pipeline, PWINBIO_STORAGE_RECORD RecordContents);

struct _WINBIO_STORAGE_INTERFACE {
    WINBIO_ADAPTER_INTERFACE_VERSION Version;
    WINBIO_ADAPTER_TYPE Type;
    SIZE_T Size;
    GUID AdapterId;

    PIBIO_STORAGE_ATTACH_FN Attach;
    PIBIO_STORAGE_DETACH_FN Detach;
    PIBIO_STORAGE_CLEAR_CONTEXT_FN ClearContext;
    PIBIO_STORAGE_CREATE_DATABASE_FN CreateDatabase;
    PIBIO_STORAGE_ERASE_DATABASE_FN EraseDatabase;
    PIBIO_STORAGE_OPEN_DATABASE_FN OpenDatabase;
    PIBIO_STORAGE_CLOSE_DATABASE_FN CloseDatabase;
    PIBIO_STORAGE_GET_DATA_FORMAT_FN GetDataFormat;
    PIBIO_STORAGE_GET_DATABASE_SIZE_FN GetDatabaseSize;
    PIBIO_STORAGE_ADD_RECORD_FN AddRecord;
    PIBIO_STORAGE_DELETE_RECORD_FN DeleteRecord;
    PIBIO_STORAGE_QUERY_BY_SUBJECT_FN QueryBySubject;
    PIBIO_STORAGE_QUERY_BY_CONTENT_FN QueryByContent;
    PIBIO_STORAGE_GET_RECORD_COUNT_FN GetRecordCount;
    PIBIO_STORAGE_FIRST_RECORD_FN FirstRecord;
    PIBIO_STORAGE_NEXT_RECORD_FN NextRecord;
    PIBIO_STORAGE_GET_CURRENT_RECORD_FN GetCurrentRecord;
    PIBIO_STORAGE_CONTROL_UNIT_FN ControlUnit;
    PIBIO_STORAGE_CONTROL_UNIT_PRIVILEGED_FN ControlUnitPrivileged;
    PIBIO_STORAGE_NOTIFY_POWER_CHANGE_FN NotifyPowerChange;
    PIBIO_STORAGE_PIPELINE_INIT_FN PipelineInit;
    PIBIO_STORAGE_PIPELINE_CLEANUP_FN PipelineCleanup;
    PIBIO_STORAGE_ACTIVATE_FN Activate;
    PIBIO_STORAGE_DEACTIVATE_FN Deactivate;
    PIBIO_STORAGE_QUERY_EXTENDED_INFO_FN QueryExtendedInfo;
    PIBIO_STORAGE_NOTIFY_DATABASE_CHANGE_FN NotifyDatabaseChange;
    PIBIO_STORAGE_RESERVED_1_FN Reserved1;
    PIBIO_STORAGE_RESERVED_2_FN Reserved2;
    PIBIO_STORAGE_UPDATE_RECORD_BEGIN_FN UpdateRecordBegin;
    PIBIO_STORAGE_UPDATE_RECORD_COMMIT_FN UpdateRecordCommit;
};
static_assert(sizeof(WINBIO_STORAGE_INTERFACE) == 272, "WINBIO_STORAGE_INTERFACE");
static_assert(offsetof(WINBIO_STORAGE_INTERFACE, AddRecord) == 32 + 9 * 8,
              "WINBIO_STORAGE_INTERFACE.AddRecord");

// The three exports the biometric service binds by name in an adapter library.
typedef HRESULT(WINAPI* PWINBIO_QUERY_SENSOR_INTERFACE_FN)(
    PWINBIO_SENSOR_INTERFACE* SensorInterface);
typedef HRESULT(WINAPI* PWINBIO_QUERY_ENGINE_INTERFACE_FN)(
    PWINBIO_ENGINE_INTERFACE* EngineInterface);
typedef HRESULT(WINAPI* PWINBIO_QUERY_STORAGE_INTERFACE_FN)(
    PWINBIO_STORAGE_INTERFACE* StorageInterface);
