// Wire format of the sensor's driver: the private control codes, the request and
// reply records with their exact sizes, the chip's status values and the
// failure families of the device channel. Every record is a packed byte record
// with little-endian integers; its size is part of the interface.
#pragma once
#include <windows.h>
#include <winbio_types.h>
#include <winbio_ioctl.h>

// ---------------------------------------------------------------------------
// Control codes
// ---------------------------------------------------------------------------

constexpr DWORD MocControlCode(DWORD function) {
    return CTL_CODE(FILE_DEVICE_BIOMETRIC, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

constexpr DWORD IOCTL_MOC_BEGIN_ENROLLMENT = MocControlCode(0xC01);
constexpr DWORD IOCTL_MOC_COMMIT_ENROLLMENT = MocControlCode(0xC02);
constexpr DWORD IOCTL_MOC_IDENTIFY = MocControlCode(0xC03);
constexpr DWORD IOCTL_MOC_ACCEPT_SAMPLE = MocControlCode(0xC04);
constexpr DWORD IOCTL_MOC_CHECK_DUPLICATE = MocControlCode(0xC05);
constexpr DWORD IOCTL_MOC_READ_TEMPLATE_TABLE = MocControlCode(0xC06);
constexpr DWORD IOCTL_MOC_DELETE_TEMPLATE = MocControlCode(0xC07);
constexpr DWORD IOCTL_MOC_GET_CAPABILITIES = MocControlCode(0xC08);
constexpr DWORD IOCTL_MOC_GET_HOST_ID = MocControlCode(0xC09);
constexpr DWORD IOCTL_MOC_SET_MATCH_RESULT = MocControlCode(0xC0A);
constexpr DWORD IOCTL_MOC_NOTIFY_DUPLICATE = MocControlCode(0xC0B);
constexpr DWORD IOCTL_MOC_CHECK_FREE_SLOT = MocControlCode(0xC0C);
constexpr DWORD IOCTL_MOC_GET_PURGE_FLAG = MocControlCode(0xC0D);
constexpr DWORD IOCTL_MOC_CONFIRM_SAMPLE = MocControlCode(0xC0E);
constexpr DWORD IOCTL_MOC_DELETE_TEMPLATES = MocControlCode(0xC0F);
constexpr DWORD IOCTL_MOC_GET_SENSOR_ID = MocControlCode(0xC10);
constexpr DWORD IOCTL_MOC_SET_MATCH_DATA_LENGTH = MocControlCode(0xC1E);
constexpr DWORD IOCTL_MOC_SENSOR_PRIVATE_SET = MocControlCode(0xC1F);
constexpr DWORD IOCTL_MOC_READ_MATCH_DATA = MocControlCode(0xC20);
constexpr DWORD IOCTL_MOC_READ_MATCH_DATA_EX = MocControlCode(0xC21);
constexpr DWORD IOCTL_MOC_SENSOR_PRIVATE_GET = MocControlCode(0xC22);
constexpr DWORD IOCTL_MOC_PRIVATE_COMMAND_1 = MocControlCode(0xC23);
constexpr DWORD IOCTL_MOC_PRIVATE_COMMAND_2 = MocControlCode(0xC24);
constexpr DWORD IOCTL_MOC_GET_POLICY = MocControlCode(0xC25);
constexpr DWORD IOCTL_MOC_DATABASE_VERSION = MocControlCode(0xC27);
constexpr DWORD IOCTL_MOC_REPORT_MATCH = MocControlCode(0xC28);
constexpr DWORD IOCTL_MOC_NOTIFY_DEACTIVATE = MocControlCode(0xC29);

// ---------------------------------------------------------------------------
// Constants
// ---------------------------------------------------------------------------

// Chip status byte of the identify and accept-sample replies. Any other
// non-zero value is itself a reject detail in the platform's numbering.
constexpr BYTE MOC_STATUS_SUCCESS = 0;
constexpr BYTE MOC_STATUS_NO_MATCH = 11;
constexpr BYTE MOC_STATUS_TOO_SKEWED = 12; // reported to the host as WINBIO_FP_TOO_SKEWED

// Request byte of IOCTL_MOC_SET_MATCH_RESULT.
constexpr BYTE MOC_MATCH_RESULT_MATCH = 0;
constexpr BYTE MOC_MATCH_RESULT_NO_MATCH = 11;

constexpr BYTE MOC_TEMPLATE_SLOT_ALL = 255;

constexpr BYTE MOC_SLOT_STATE_FREE = 0;
constexpr BYTE MOC_SLOT_STATE_USED = 1;

constexpr BYTE MOC_IDENTITY_KIND_SID = 0;
constexpr BYTE MOC_IDENTITY_KIND_SECURE_ID = 1;

constexpr DWORD MOC_POLICY_PURGE_FOREIGN_AT_OPEN = 1;
constexpr DWORD MOC_POLICY_PURGE_FOREIGN_AT_FIRST_UNLOCK = 2;
constexpr DWORD MOC_POLICY_PURGE_FOREIGN_WHEN_FULL = 3;

constexpr BYTE MOC_DATABASE_VERSION_SET = 0;
constexpr BYTE MOC_DATABASE_VERSION_GET = 1;
constexpr DWORD MOC_CHIP_DATABASE_VERSION = 3;

constexpr BYTE MOC_MATCH_REPORT_KIND = 2;

constexpr DWORD MOC_IDENTITY_KEY_SIZE = 32;
constexpr DWORD MOC_HOST_OWNER_ID_SIZE = 16;
constexpr DWORD MOC_NONCE_SIZE = 32;
constexpr DWORD MOC_AUTHORIZATION_SIZE = 32;
constexpr DWORD MOC_SENSOR_ID_SIZE = 32;
constexpr DWORD MOC_SENSOR_PRIVATE_GET_SIZE = 32;
constexpr DWORD MOC_SID_KEY_SIZE = 28; // an account SID unpacked from a key

// Secure connection (see secure_connection.h for the reply layout).
constexpr DWORD MOC_SECURE_FIELD_SIZE = 32; // device nonce, connection MAC, reconnect MAC
constexpr DWORD MOC_P256_PUBLIC_KEY_SIZE = 65;
constexpr DWORD MOC_FIRMWARE_HASH_SIZE = 32;
constexpr DWORD MOC_SIGNATURE_SIZE = 64;
constexpr DWORD MOC_CLAIM_FIXED_SIZE = 290; // claim bytes beside the model certificate
constexpr DWORD MOC_CONNECT_RESPONSE_OVERHEAD = 360;
constexpr DWORD MOC_CONNECTION_DATA_OVERHEAD = 374;
constexpr DWORD MOC_RECONNECT_RESPONSE_SIZE = 34;
constexpr DWORD MOC_RECONNECT_DATA_SIZE = 52;
constexpr USHORT MOC_SECURE_FLAGS_RECONNECT = 1;

// ---------------------------------------------------------------------------
// Failure families: the high half names the operation, the low half carries
// the Win32 error of the request.
// ---------------------------------------------------------------------------

constexpr HRESULT MOC_E_SECURE_CONNECTION_CREATE = static_cast<HRESULT>(0xED010006u);
constexpr HRESULT MOC_E_CONNECT_SECURE_ARGUMENT = static_cast<HRESULT>(0xED030057u);
constexpr HRESULT MOC_E_CONNECT_SECURE_REQUEST = static_cast<HRESULT>(0xED040000u);
constexpr HRESULT MOC_E_CONNECT_SECURE_RESPONSE = static_cast<HRESULT>(0xED050000u);
constexpr HRESULT MOC_E_BEGIN_ENROLLMENT = static_cast<HRESULT>(0xEE030000u);
constexpr HRESULT MOC_E_COMMIT_ENROLLMENT = static_cast<HRESULT>(0xEE040000u);
constexpr HRESULT MOC_E_IDENTIFY = static_cast<HRESULT>(0xEE050000u);
constexpr HRESULT MOC_E_ACCEPT_SAMPLE = static_cast<HRESULT>(0xEE060000u);
constexpr HRESULT MOC_E_CHECK_DUPLICATE = static_cast<HRESULT>(0xEE080000u);
constexpr HRESULT MOC_E_DELETE_TEMPLATE = static_cast<HRESULT>(0xEF010000u);
constexpr HRESULT MOC_E_READ_TEMPLATE_TABLE = static_cast<HRESULT>(0xEF020000u);

// Reasons of MOC_E_CONNECT_SECURE_RESPONSE.
constexpr DWORD MOC_SECURE_REASON_NO_CHAIN = 1;       // no chain has the claim's model length
constexpr DWORD MOC_SECURE_REASON_MODEL_MISMATCH = 2; // claimed model certificate differs
constexpr DWORD MOC_SECURE_REASON_MALFORMED = 3;      // the reply's lengths break its bounds

// The error is masked to the low half, so a large error value can never turn
// one family into another.
constexpr HRESULT MocFailure(HRESULT family, DWORD error) {
    return static_cast<HRESULT>(static_cast<DWORD>(family) | (error & 0xFFFFu));
}

// ---------------------------------------------------------------------------
// Records
// ---------------------------------------------------------------------------

#pragma pack(push, 1)

// Identity under which the chip keeps a template (packing in identity_key.h).
struct IdentityKey {
    BYTE Bytes[MOC_IDENTITY_KEY_SIZE];
};

// Opaque identifier of a host; two are equal when all 16 bytes are.
struct HostOwnerId {
    BYTE Bytes[MOC_HOST_OWNER_ID_SIZE];
};

// One slot of the chip's template table; the slot number is the entry's index.
struct TemplateSlotEntry {
    BYTE State; // MOC_SLOT_STATE_*; any other value is neither used nor free
    BYTE IdentityKind;
    BYTE SubFactor;
    IdentityKey Key;
};

// The same slot in owner-id mode (MocCapabilities::OwnerIdMode non-zero).
struct TemplateSlotEntryOwned {
    BYTE State;
    BYTE IdentityKind;
    BYTE SubFactor;
    IdentityKey Key;
    BYTE Reserved;
    HostOwnerId Owner;
};

struct MocCapabilities {
    BYTE SamplesPerEnrollmentPlusOne;
    BYTE SlotCount;
    BYTE OwnerIdMode;    // non-zero: 52-byte slot entries with HostOwnerId
    BYTE HashedIdentity; // non-zero: secure identities are compared through SHA-256
    BYTE Reserved[4];
};

struct MocPolicy {
    BYTE Bytes[8];
};

struct MatchDetail {
    LONG Value0; // traced divided by 1000
    LONG Value1; // traced divided by 1000
    BYTE Reserved[20];
};

struct MatchReport {
    BYTE Kind;        // MOC_MATCH_REPORT_KIND
    BYTE MatchResult; // the byte just sent with IOCTL_MOC_SET_MATCH_RESULT
    BYTE Detail[24];  // MatchDetail bytes 4-27
};

struct MocIdentifyResponse {
    BYTE Status;
    BYTE SubFactor;
    IdentityKey Key;
    union {
        struct {
            BYTE Authorization[MOC_AUTHORIZATION_SIZE];
            MatchDetail Detail;
        } WithNonce;
        struct {
            MatchDetail Detail;
            BYTE Reserved[32];
        } WithoutNonce;
    } Tail;
};

struct MocDuplicateResponse {
    BYTE IdentityKind; // 1 secure identity, any other value account SID
    BYTE MatchStatus;  // 0: the new template matches a stored one
    BYTE SubFactor;
    IdentityKey Key;
};

struct MocAcceptSampleResponse {
    BYTE Status;
    ULONG64 SampleToken;
};

struct MocConfirmSampleRequest {
    BYTE Status; // as the host reports it: MOC_STATUS_TOO_SKEWED already turned into 8
    ULONG64 SampleToken;
};

struct MocCommitEnrollmentRequest {
    BYTE SubFactor;
    IdentityKey Key;
};

// Request and reply in one buffer.
struct MocDatabaseVersionRequest {
    BYTE Operation; // MOC_DATABASE_VERSION_SET or _GET
    ULONG Version;
};

struct MocEnrollmentNonce {
    BYTE Bytes[MOC_NONCE_SIZE];
};

struct MocSensorId {
    BYTE Bytes[MOC_SENSOR_ID_SIZE];
};

// The claim fields after the model certificate of a full secure-connection
// reply, in the order the secure device connection protocol gives them.
struct MocClaimKeys {
    BYTE DevicePublicKey[MOC_P256_PUBLIC_KEY_SIZE];
    BYTE FirmwarePublicKey[MOC_P256_PUBLIC_KEY_SIZE];
    BYTE FirmwareHash[MOC_FIRMWARE_HASH_SIZE];
    BYTE ModelSignature[MOC_SIGNATURE_SIZE];
    BYTE DeviceSignature[MOC_SIGNATURE_SIZE];
};

// Reply of IOCTL_BIOMETRIC_CONNECT_SECURE when the request's Flags is 1.
struct MocReconnectResponse {
    USHORT Length; // not interpreted
    BYTE Mac[MOC_SECURE_FIELD_SIZE];
};

#pragma pack(pop)

static_assert(sizeof(IdentityKey) == 32, "IdentityKey");
static_assert(sizeof(HostOwnerId) == 16, "HostOwnerId");
static_assert(sizeof(TemplateSlotEntry) == 35, "TemplateSlotEntry");
static_assert(sizeof(TemplateSlotEntryOwned) == 52, "TemplateSlotEntryOwned");
static_assert(offsetof(TemplateSlotEntryOwned, Owner) == 36, "TemplateSlotEntryOwned.Owner");
static_assert(sizeof(MocCapabilities) == 8, "MocCapabilities");
static_assert(sizeof(MocPolicy) == 8, "MocPolicy");
static_assert(sizeof(MatchDetail) == 28, "MatchDetail");
static_assert(sizeof(MatchReport) == 26, "MatchReport");
static_assert(sizeof(MocIdentifyResponse) == 94, "MocIdentifyResponse");
static_assert(offsetof(MocIdentifyResponse, Tail) == 34, "MocIdentifyResponse.Tail");
static_assert(sizeof(MocDuplicateResponse) == 35, "MocDuplicateResponse");
static_assert(sizeof(MocAcceptSampleResponse) == 9, "MocAcceptSampleResponse");
static_assert(sizeof(MocConfirmSampleRequest) == 9, "MocConfirmSampleRequest");
static_assert(sizeof(MocCommitEnrollmentRequest) == 33, "MocCommitEnrollmentRequest");
static_assert(sizeof(MocDatabaseVersionRequest) == 5, "MocDatabaseVersionRequest");
static_assert(sizeof(MocEnrollmentNonce) == 32, "MocEnrollmentNonce");
static_assert(sizeof(MocSensorId) == 32, "MocSensorId");
static_assert(sizeof(MocClaimKeys) == MOC_CLAIM_FIXED_SIZE, "MocClaimKeys");
static_assert(sizeof(MocReconnectResponse) == MOC_RECONNECT_RESPONSE_SIZE, "MocReconnectResponse");

// Size of one template-table entry: 52 bytes in owner-id mode, 35 otherwise.
inline DWORD TemplateSlotEntrySize(bool ownerIdMode) {
    return ownerIdMode ? sizeof(TemplateSlotEntryOwned) : sizeof(TemplateSlotEntry);
}
inline DWORD TemplateSlotEntrySize(const MocCapabilities& caps) {
    return TemplateSlotEntrySize(caps.OwnerIdMode != 0);
}

// The purge policy number, 0 to 7: (byte 2 bit 0) x 4 + (byte 1 bits 6-7).
inline DWORD MocPolicyNumber(const MocPolicy& policy) {
    return ((policy.Bytes[2] & 0x01u) << 2) | (policy.Bytes[1] >> 6);
}

inline bool HostOwnerIdEqual(const HostOwnerId& a, const HostOwnerId& b) {
    for (DWORD i = 0; i < MOC_HOST_OWNER_ID_SIZE; ++i) {
        if (a.Bytes[i] != b.Bytes[i]) {
            return false;
        }
    }
    return true;
}
