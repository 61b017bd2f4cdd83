// Driver payloads and standard control codes of the biometric framework, as the
// platform publishes them.
#pragma once
#include "wintypes.h"
#include "winioctl.h"
#include "winbio_types.h"

#define IOCTL_BIOMETRIC_GET_ATTRIBUTES                                                             \
    CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x001, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BIOMETRIC_RESET                                                                      \
    CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x002, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BIOMETRIC_GET_SENSOR_STATUS                                                          \
    CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x004, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BIOMETRIC_CAPTURE_DATA                                                               \
    CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x005, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_BIOMETRIC_CONNECT_SECURE                                                             \
    CTL_CODE(FILE_DEVICE_BIOMETRIC, 0x00B, METHOD_BUFFERED, FILE_ANY_ACCESS)

typedef struct _WINBIO_SENSOR_ATTRIBUTES {
    DWORD PayloadSize;
    HRESULT WinBioHresult;
    WINBIO_VERSION WinBioVersion;
    WINBIO_BIOMETRIC_TYPE SensorType;
    WINBIO_BIOMETRIC_SENSOR_SUBTYPE SensorSubType;
    WINBIO_CAPABILITIES Capabilities;
    WINBIO_STRING ManufacturerName;
    WINBIO_STRING ModelName;
    WINBIO_STRING SerialNumber;
    WINBIO_VERSION FirmwareVersion;
    DWORD SupportedFormatEntries;
    WINBIO_REGISTERED_FORMAT SupportedFormat[1];
} WINBIO_SENSOR_ATTRIBUTES, *PWINBIO_SENSOR_ATTRIBUTES;
static_assert(sizeof(WINBIO_SENSOR_ATTRIBUTES) == 1580, "WINBIO_SENSOR_ATTRIBUTES");
static_assert(offsetof(WINBIO_SENSOR_ATTRIBUTES, ModelName) == 540, "ModelName");
static_assert(offsetof(WINBIO_SENSOR_ATTRIBUTES, FirmwareVersion) == 1564, "FirmwareVersion");
static_assert(offsetof(WINBIO_SENSOR_ATTRIBUTES, SupportedFormat) == 1576, "SupportedFormat");

typedef struct _WINBIO_BLANK_PAYLOAD {
    DWORD PayloadSize;
    HRESULT WinBioHresult;
} WINBIO_BLANK_PAYLOAD, *PWINBIO_BLANK_PAYLOAD;
static_assert(sizeof(WINBIO_BLANK_PAYLOAD) == 8, "WINBIO_BLANK_PAYLOAD");

typedef struct _WINBIO_DIAGNOSTICS {
    DWORD PayloadSize;
    HRESULT WinBioHresult;
    WINBIO_SENSOR_STATUS SensorStatus;
    WINBIO_DATA VendorDiagnostics;
} WINBIO_DIAGNOSTICS, *PWINBIO_DIAGNOSTICS;
static_assert(sizeof(WINBIO_DIAGNOSTICS) == 20, "WINBIO_DIAGNOSTICS");
static_assert(offsetof(WINBIO_DIAGNOSTICS, SensorStatus) == 8, "WINBIO_DIAGNOSTICS.SensorStatus");

typedef struct _WINBIO_CAPTURE_PARAMETERS {
    DWORD PayloadSize;
    WINBIO_BIR_PURPOSE Purpose;
    WINBIO_REGISTERED_FORMAT Format;
    WINBIO_UUID VendorFormat;
    WINBIO_BIR_DATA_FLAGS Flags;
} WINBIO_CAPTURE_PARAMETERS, *PWINBIO_CAPTURE_PARAMETERS;
static_assert(sizeof(WINBIO_CAPTURE_PARAMETERS) == 32, "WINBIO_CAPTURE_PARAMETERS");
static_assert(offsetof(WINBIO_CAPTURE_PARAMETERS, Format) == 6, "Format");
static_assert(offsetof(WINBIO_CAPTURE_PARAMETERS, VendorFormat) == 12, "VendorFormat");
static_assert(offsetof(WINBIO_CAPTURE_PARAMETERS, Flags) == 28, "Flags");

// The captured BIR follows at CaptureData.Data (byte 20).
typedef struct _WINBIO_CAPTURE_DATA {
    DWORD PayloadSize;
    HRESULT WinBioHresult;
    WINBIO_SENSOR_STATUS SensorStatus;
    WINBIO_REJECT_DETAIL RejectDetail;
    WINBIO_DATA CaptureData;
} WINBIO_CAPTURE_DATA, *PWINBIO_CAPTURE_DATA;
static_assert(sizeof(WINBIO_CAPTURE_DATA) == 24, "WINBIO_CAPTURE_DATA");
static_assert(offsetof(WINBIO_CAPTURE_DATA, CaptureData) + offsetof(WINBIO_DATA, Data) == 20,
              "WINBIO_CAPTURE_DATA.CaptureData.Data");

// PayloadSize counts from the start of this head; the payload follows it.
typedef struct _WINBIO_SECURE_CONNECTION_PARAMS {
    DWORD PayloadSize;
    USHORT Version;
    USHORT Flags;
} WINBIO_SECURE_CONNECTION_PARAMS, *PWINBIO_SECURE_CONNECTION_PARAMS;
static_assert(sizeof(WINBIO_SECURE_CONNECTION_PARAMS) == 8, "WINBIO_SECURE_CONNECTION_PARAMS");

// The certificates and keys follow this head.
typedef struct _WINBIO_SECURE_CONNECTION_DATA {
    DWORD Size;
    USHORT Version;
    USHORT Flags;
    DWORD ModelCertificateSize;
    DWORD IntermediateCA1Size;
    DWORD IntermediateCA2Size;
} WINBIO_SECURE_CONNECTION_DATA, *PWINBIO_SECURE_CONNECTION_DATA;
static_assert(sizeof(WINBIO_SECURE_CONNECTION_DATA) == 20, "WINBIO_SECURE_CONNECTION_DATA");
