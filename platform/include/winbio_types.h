// Biometric framework types of the platform stand-in: identities, BIR records
// and the constants the adapters use, with the platform's published values.
#pragma once
#include "wintypes.h"

typedef ULONG WINBIO_IDENTITY_TYPE;
typedef ULONG WINBIO_BIOMETRIC_TYPE;
typedef ULONG WINBIO_BIOMETRIC_SENSOR_SUBTYPE;
typedef ULONG WINBIO_CAPABILITIES;
typedef ULONG WINBIO_SENSOR_STATUS;
typedef ULONG WINBIO_SENSOR_MODE;
typedef ULONG WINBIO_INDICATOR_STATUS;
typedef ULONG WINBIO_REJECT_DETAIL;
typedef ULONG WINBIO_ADAPTER_TYPE;
typedef UCHAR WINBIO_BIOMETRIC_SUBTYPE;
typedef UCHAR WINBIO_BIR_PURPOSE;
typedef UCHAR WINBIO_BIR_DATA_FLAGS;
typedef UCHAR WINBIO_BIR_VERSION;
typedef CHAR WINBIO_BIR_QUALITY;
typedef ULONG WINBIO_UNIT_ID;
typedef GUID WINBIO_UUID;
typedef GUID* PWINBIO_UUID;

typedef WINBIO_IDENTITY_TYPE* PWINBIO_IDENTITY_TYPE;
typedef WINBIO_BIOMETRIC_SUBTYPE* PWINBIO_BIOMETRIC_SUBTYPE;
typedef WINBIO_REJECT_DETAIL* PWINBIO_REJECT_DETAIL;
typedef WINBIO_SENSOR_STATUS* PWINBIO_SENSOR_STATUS;
typedef WINBIO_SENSOR_MODE* PWINBIO_SENSOR_MODE;
typedef WINBIO_INDICATOR_STATUS* PWINBIO_INDICATOR_STATUS;
typedef WINBIO_BIR_PURPOSE* PWINBIO_BIR_PURPOSE;

// Identity types
#define WINBIO_ID_TYPE_NULL 0u
#define WINBIO_ID_TYPE_WILDCARD 1u
#define WINBIO_ID_TYPE_GUID 2u
#define WINBIO_ID_TYPE_SID 3u
#define WINBIO_ID_TYPE_SECURE_ID 4u
#define WINBIO_IDENTITY_WILDCARD 0x25066282u

#define SECURITY_MAX_SID_SIZE 68
#define WINBIO_SECURE_ID_SIZE 32

typedef struct _WINBIO_IDENTITY {
    WINBIO_IDENTITY_TYPE Type;
    union {
        ULONG Null;
        ULONG Wildcard;
        GUID TemplateGuid;
        struct {
            ULONG Size;
            UCHAR Data[SECURITY_MAX_SID_SIZE];
        } AccountSid;
        UCHAR SecureId[WINBIO_SECURE_ID_SIZE];
    } Value;
} WINBIO_IDENTITY, *PWINBIO_IDENTITY;
static_assert(sizeof(WINBIO_IDENTITY) == 76 && alignof(WINBIO_IDENTITY) == 4, "WINBIO_IDENTITY");

// Biometric types and sub-factors
#define WINBIO_NO_TYPE_AVAILABLE 0u
#define WINBIO_TYPE_FINGERPRINT 0x00000008u
#define WINBIO_SUBTYPE_NO_INFORMATION 0x00
#define WINBIO_SUBTYPE_ANY 0xFF
#define WINBIO_ANSI_381_POS_UNKNOWN 0
#define WINBIO_ANSI_381_POS_RH_THUMB 1
#define WINBIO_ANSI_381_POS_RH_INDEX_FINGER 2
#define WINBIO_ANSI_381_POS_RH_MIDDLE_FINGER 3
#define WINBIO_ANSI_381_POS_RH_RING_FINGER 4
#define WINBIO_ANSI_381_POS_RH_LITTLE_FINGER 5
#define WINBIO_ANSI_381_POS_LH_THUMB 6
#define WINBIO_ANSI_381_POS_LH_INDEX_FINGER 7
#define WINBIO_ANSI_381_POS_LH_MIDDLE_FINGER 8
#define WINBIO_ANSI_381_POS_LH_RING_FINGER 9
#define WINBIO_ANSI_381_POS_LH_LITTLE_FINGER 10

// Purposes
#define WINBIO_NO_PURPOSE_AVAILABLE 0x00
#define WINBIO_PURPOSE_VERIFY 0x01
#define WINBIO_PURPOSE_IDENTIFY 0x02
#define WINBIO_PURPOSE_ENROLL 0x04
#define WINBIO_PURPOSE_ENROLL_FOR_VERIFICATION 0x08
#define WINBIO_PURPOSE_ENROLL_FOR_IDENTIFICATION 0x10
#define WINBIO_PURPOSE_AUDIT 0x80

// Fingerprint reject details
#define WINBIO_FP_TOO_HIGH 1u
#define WINBIO_FP_TOO_LOW 2u
#define WINBIO_FP_TOO_LEFT 3u
#define WINBIO_FP_TOO_RIGHT 4u
#define WINBIO_FP_TOO_FAST 5u
#define WINBIO_FP_TOO_SLOW 6u
#define WINBIO_FP_POOR_QUALITY 7u
#define WINBIO_FP_TOO_SKEWED 8u
#define WINBIO_FP_TOO_SHORT 9u
#define WINBIO_FP_MERGE_FAILURE 10u

// BIR data flags
#define WINBIO_DATA_FLAG_INTEGRITY 0x01
#define WINBIO_DATA_FLAG_PRIVACY 0x02
#define WINBIO_DATA_FLAG_SIGNED 0x04
#define WINBIO_DATA_FLAG_OPTION_MASK_PRESENT 0x08
#define WINBIO_DATA_FLAG_RAW 0x20
#define WINBIO_DATA_FLAG_INTERMEDIATE 0x40
#define WINBIO_DATA_FLAG_PROCESSED 0x80

// Data formats
#define WINBIO_NO_FORMAT_OWNER_AVAILABLE 0x0000
#define WINBIO_NO_FORMAT_TYPE_AVAILABLE 0x0000
#define WINBIO_ANSI_381_FORMAT_OWNER 0x001B
#define WINBIO_ANSI_381_FORMAT_TYPE 0x0401
#define WINBIO_ANSI_381_IMG_UNCOMPRESSED 0

// Adapter types
#define WINBIO_ADAPTER_TYPE_SENSOR 1u
#define WINBIO_ADAPTER_TYPE_ENGINE 2u
#define WINBIO_ADAPTER_TYPE_STORAGE 3u

// Unit capabilities
#define WINBIO_CAPABILITY_SENSOR 0x00000001u
#define WINBIO_CAPABILITY_MATCHING 0x00000002u
#define WINBIO_CAPABILITY_DATABASE 0x00000004u
#define WINBIO_CAPABILITY_PROCESSING 0x00000008u
#define WINBIO_CAPABILITY_ENCRYPTION 0x00000010u
#define WINBIO_CAPABILITY_NAVIGATION 0x00000020u
#define WINBIO_CAPABILITY_INDICATOR 0x00000040u
#define WINBIO_CAPABILITY_VIRTUAL_SENSOR 0x00000080u
#define WINBIO_CAPABILITY_SECURE_SENSOR 0x00000100u

// Sensor status, modes, indicator
#define WINBIO_SENSOR_STATUS_UNKNOWN 0u
#define WINBIO_SENSOR_ACCEPT 1u
#define WINBIO_SENSOR_REJECT 2u
#define WINBIO_SENSOR_READY 3u
#define WINBIO_SENSOR_BUSY 4u
#define WINBIO_SENSOR_NOT_CALIBRATED 5u
#define WINBIO_SENSOR_FAILURE 6u
#define WINBIO_SENSOR_UNKNOWN_MODE 0u
#define WINBIO_SENSOR_BASIC_MODE 1u
#define WINBIO_SENSOR_ADVANCED_MODE 2u
#define WINBIO_SENSOR_NAVIGATION_MODE 3u
#define WINBIO_SENSOR_SLEEP_MODE 4u
#define WINBIO_INDICATOR_ON 1u
#define WINBIO_INDICATOR_OFF 2u
#define WINBIO_SENSOR_SUBTYPE_UNKNOWN 0u
#define WINBIO_FP_SENSOR_SUBTYPE_SWIPE 1u
#define WINBIO_FP_SENSOR_SUBTYPE_TOUCH 2u

#define WINBIO_MAX_STRING_LEN 256
typedef WCHAR WINBIO_STRING[WINBIO_MAX_STRING_LEN];

typedef struct _WINBIO_VERSION {
    DWORD MajorVersion;
    DWORD MinorVersion;
} WINBIO_VERSION, *PWINBIO_VERSION;
static_assert(sizeof(WINBIO_VERSION) == 8, "WINBIO_VERSION");

typedef struct _WINBIO_REGISTERED_FORMAT {
    USHORT Owner;
    USHORT Type;
} WINBIO_REGISTERED_FORMAT, *PWINBIO_REGISTERED_FORMAT;
static_assert(sizeof(WINBIO_REGISTERED_FORMAT) == 4, "WINBIO_REGISTERED_FORMAT");

// A size followed by its bytes; Data is the first of Size bytes.
typedef struct _WINBIO_DATA {
    DWORD Size;
    BYTE Data[1];
} WINBIO_DATA, *PWINBIO_DATA;
static_assert(sizeof(WINBIO_DATA) == 8, "WINBIO_DATA");

// Biometric information record: four blocks, their offsets counted from the
// start of the record.
typedef struct _WINBIO_BIR_DATA {
    ULONG Size;
    ULONG Offset;
} WINBIO_BIR_DATA, *PWINBIO_BIR_DATA;

typedef struct _WINBIO_BIR {
    WINBIO_BIR_DATA HeaderBlock;
    WINBIO_BIR_DATA StandardDataBlock;
    WINBIO_BIR_DATA VendorDataBlock;
    WINBIO_BIR_DATA SignatureBlock;
} WINBIO_BIR, *PWINBIO_BIR;
static_assert(sizeof(WINBIO_BIR) == 32, "WINBIO_BIR");

typedef struct _WINBIO_BIR_HEADER {
    USHORT ValidFields;
    WINBIO_BIR_VERSION HeaderVersion;
    WINBIO_BIR_VERSION PatronHeaderVersion;
    WINBIO_BIR_DATA_FLAGS DataFlags;
    WINBIO_BIOMETRIC_TYPE Type;
    WINBIO_BIOMETRIC_SUBTYPE Subtype;
    WINBIO_BIR_PURPOSE Purpose;
    WINBIO_BIR_QUALITY DataQuality;
    LARGE_INTEGER CreationDate;
    struct {
        LARGE_INTEGER BeginDate;
        LARGE_INTEGER EndDate;
    } ValidityPeriod;
    WINBIO_REGISTERED_FORMAT BiometricDataFormat;
    WINBIO_REGISTERED_FORMAT ProductId;
} WINBIO_BIR_HEADER, *PWINBIO_BIR_HEADER;
static_assert(sizeof(WINBIO_BIR_HEADER) == 48, "WINBIO_BIR_HEADER");
static_assert(offsetof(WINBIO_BIR_HEADER, DataFlags) == 4, "WINBIO_BIR_HEADER.DataFlags");
static_assert(offsetof(WINBIO_BIR_HEADER, CreationDate) == 16, "WINBIO_BIR_HEADER.CreationDate");
static_assert(offsetof(WINBIO_BIR_HEADER, BiometricDataFormat) == 40,
              "WINBIO_BIR_HEADER.BiometricDataFormat");

typedef struct _WINBIO_BDB_ANSI_381_HEADER {
    ULONG64 RecordLength;
    ULONG FormatIdentifier;
    ULONG VersionNumber;
    WINBIO_REGISTERED_FORMAT ProductId;
    USHORT CaptureDeviceId;
    USHORT ImageAcquisitionLevel;
    USHORT HorizontalScanResolution;
    USHORT VerticalScanResolution;
    USHORT HorizontalImageResolution;
    USHORT VerticalImageResolution;
    UCHAR ElementCount;
    UCHAR ScaleUnits;
    UCHAR PixelDepth;
    UCHAR ImageCompressionAlg;
    USHORT Reserved;
} WINBIO_BDB_ANSI_381_HEADER, *PWINBIO_BDB_ANSI_381_HEADER;
static_assert(sizeof(WINBIO_BDB_ANSI_381_HEADER) == 40, "WINBIO_BDB_ANSI_381_HEADER");
static_assert(offsetof(WINBIO_BDB_ANSI_381_HEADER, PixelDepth) == 34,
              "WINBIO_BDB_ANSI_381_HEADER.PixelDepth");

typedef struct _WINBIO_BDB_ANSI_381_RECORD {
    ULONG BlockLength;
    USHORT HorizontalLineLength;
    USHORT VerticalLineLength;
    UCHAR Position;
    UCHAR CountOfViews;
    UCHAR ViewNumber;
    UCHAR ImageQuality;
    UCHAR ImpressionType;
    UCHAR Reserved;
} WINBIO_BDB_ANSI_381_RECORD, *PWINBIO_BDB_ANSI_381_RECORD;
static_assert(sizeof(WINBIO_BDB_ANSI_381_RECORD) == 16, "WINBIO_BDB_ANSI_381_RECORD");

// One record as the storage adapter hands it to the framework and takes it
// back; every pointer stays owned by the side that filled it.
typedef struct _WINBIO_STORAGE_RECORD {
    PWINBIO_IDENTITY Identity;
    WINBIO_BIOMETRIC_SUBTYPE SubFactor;
    PULONG IndexVector;
    SIZE_T IndexElementCount;
    PUCHAR TemplateBlob;
    SIZE_T TemplateBlobSize;
    PUCHAR PayloadBlob;
    SIZE_T PayloadBlobSize;
} WINBIO_STORAGE_RECORD, *PWINBIO_STORAGE_RECORD;
static_assert(sizeof(WINBIO_STORAGE_RECORD) == 64, "WINBIO_STORAGE_RECORD");
static_assert(offsetof(WINBIO_STORAGE_RECORD, IndexVector) == 16,
              "WINBIO_STORAGE_RECORD.IndexVector");

typedef struct _WINBIO_EXTENDED_SENSOR_INFO {
    WINBIO_CAPABILITIES GenericSensorCapabilities;
    WINBIO_BIOMETRIC_TYPE Factor;
    union {
        ULONG Null;
        struct {
            ULONG Reserved;
        } FacialFeatures;
        struct {
            ULONG Reserved;
        } Fingerprint;
        struct {
            ULONG Reserved;
        } Iris;
        struct {
            ULONG Reserved;
        } Voice;
        // The other factors' members make the published union larger; no
        // fingerprint adapter writes past the first member.
        BYTE Published[1072];
    } Specific;
} WINBIO_EXTENDED_SENSOR_INFO, *PWINBIO_EXTENDED_SENSOR_INFO;

typedef struct _WINBIO_EXTENDED_ENGINE_INFO {
    WINBIO_CAPABILITIES GenericEngineCapabilities;
    WINBIO_BIOMETRIC_TYPE Factor;
    union {
        ULONG Null;
        struct {
            ULONG Capabilities;
            struct {
                ULONG GeneralSamples;
                ULONG Center;
                ULONG TopEdge;
                ULONG BottomEdge;
                ULONG LeftEdge;
                ULONG RightEdge;
            } EnrollmentRequirements;
        } Fingerprint;
    } Specific;
} WINBIO_EXTENDED_ENGINE_INFO, *PWINBIO_EXTENDED_ENGINE_INFO;
static_assert(sizeof(WINBIO_EXTENDED_ENGINE_INFO) == 36, "WINBIO_EXTENDED_ENGINE_INFO");

typedef struct _WINBIO_EXTENDED_STORAGE_INFO {
    WINBIO_CAPABILITIES GenericStorageCapabilities;
    WINBIO_BIOMETRIC_TYPE Factor;
    union {
        ULONG Null;
        struct {
            ULONG Capabilities;
        } Fingerprint;
    } Specific;
} WINBIO_EXTENDED_STORAGE_INFO, *PWINBIO_EXTENDED_STORAGE_INFO;
static_assert(sizeof(WINBIO_EXTENDED_STORAGE_INFO) == 12, "WINBIO_EXTENDED_STORAGE_INFO");

typedef struct _WINBIO_EXTENDED_ENROLLMENT_PARAMETERS {
    SIZE_T Size;
    WINBIO_BIOMETRIC_SUBTYPE SubFactor;
} WINBIO_EXTENDED_ENROLLMENT_PARAMETERS, *PWINBIO_EXTENDED_ENROLLMENT_PARAMETERS;
static_assert(sizeof(WINBIO_EXTENDED_ENROLLMENT_PARAMETERS) == 16,
              "WINBIO_EXTENDED_ENROLLMENT_PARAMETERS");

typedef struct _WINBIO_EXTENDED_ENROLLMENT_STATUS {
    HRESULT TemplateStatus;
    WINBIO_REJECT_DETAIL RejectDetail;
    ULONG PercentComplete;
    WINBIO_BIOMETRIC_TYPE Factor;
    WINBIO_BIOMETRIC_SUBTYPE SubFactor;
    union {
        ULONG Null;
        struct {
            ULONG GeneralSamples;
            ULONG Center;
            ULONG TopEdge;
            ULONG BottomEdge;
            ULONG LeftEdge;
            ULONG RightEdge;
        } Fingerprint;
        // The face member, the largest, and the iris member's doubles set the
        // union's size and alignment.
        double Alignment;
        BYTE Published[352];
    } Specific;
} WINBIO_EXTENDED_ENROLLMENT_STATUS, *PWINBIO_EXTENDED_ENROLLMENT_STATUS;
static_assert(sizeof(WINBIO_EXTENDED_ENROLLMENT_STATUS) == 376,
              "WINBIO_EXTENDED_ENROLLMENT_STATUS");
static_assert(offsetof(WINBIO_EXTENDED_ENROLLMENT_STATUS, Factor) == 12,
              "WINBIO_EXTENDED_ENROLLMENT_STATUS.Factor");
static_assert(offsetof(WINBIO_EXTENDED_ENROLLMENT_STATUS, Specific) == 24,
              "WINBIO_EXTENDED_ENROLLMENT_STATUS.Specific");

// Records that only the slots this unit does not support take.
typedef struct _WINBIO_PRESENCE WINBIO_PRESENCE, *PWINBIO_PRESENCE;
typedef struct _WINBIO_ACCOUNT_POLICY WINBIO_ACCOUNT_POLICY, *PWINBIO_ACCOUNT_POLICY;
