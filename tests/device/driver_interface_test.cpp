#include <gtest/gtest.h>
#include <cstring>
#include "device/driver_interface.h"

namespace {

struct CodeCase {
    const char* name;
    DWORD code;
    DWORD value;
};

// Every code the adapters send, against its published value.
const CodeCase kCodes[] = {
    {"GET_ATTRIBUTES", IOCTL_BIOMETRIC_GET_ATTRIBUTES, 0x440004},
    {"RESET", IOCTL_BIOMETRIC_RESET, 0x440008},
    {"GET_SENSOR_STATUS", IOCTL_BIOMETRIC_GET_SENSOR_STATUS, 0x440010},
    {"CAPTURE_DATA", IOCTL_BIOMETRIC_CAPTURE_DATA, 0x440014},
    {"CONNECT_SECURE", IOCTL_BIOMETRIC_CONNECT_SECURE, 0x44002C},
    {"BEGIN_ENROLLMENT", IOCTL_MOC_BEGIN_ENROLLMENT, 0x443004},
    {"COMMIT_ENROLLMENT", IOCTL_MOC_COMMIT_ENROLLMENT, 0x443008},
    {"IDENTIFY", IOCTL_MOC_IDENTIFY, 0x44300C},
    {"ACCEPT_SAMPLE", IOCTL_MOC_ACCEPT_SAMPLE, 0x443010},
    {"CHECK_DUPLICATE", IOCTL_MOC_CHECK_DUPLICATE, 0x443014},
    {"READ_TEMPLATE_TABLE", IOCTL_MOC_READ_TEMPLATE_TABLE, 0x443018},
    {"DELETE_TEMPLATE", IOCTL_MOC_DELETE_TEMPLATE, 0x44301C},
    {"GET_CAPABILITIES", IOCTL_MOC_GET_CAPABILITIES, 0x443020},
    {"GET_HOST_ID", IOCTL_MOC_GET_HOST_ID, 0x443024},
    {"SET_MATCH_RESULT", IOCTL_MOC_SET_MATCH_RESULT, 0x443028},
    {"NOTIFY_DUPLICATE", IOCTL_MOC_NOTIFY_DUPLICATE, 0x44302C},
    {"CHECK_FREE_SLOT", IOCTL_MOC_CHECK_FREE_SLOT, 0x443030},
    {"GET_PURGE_FLAG", IOCTL_MOC_GET_PURGE_FLAG, 0x443034},
    {"CONFIRM_SAMPLE", IOCTL_MOC_CONFIRM_SAMPLE, 0x443038},
    {"DELETE_TEMPLATES", IOCTL_MOC_DELETE_TEMPLATES, 0x44303C},
    {"GET_SENSOR_ID", IOCTL_MOC_GET_SENSOR_ID, 0x443040},
    {"SET_MATCH_DATA_LENGTH", IOCTL_MOC_SET_MATCH_DATA_LENGTH, 0x443078},
    {"SENSOR_PRIVATE_SET", IOCTL_MOC_SENSOR_PRIVATE_SET, 0x44307C},
    {"READ_MATCH_DATA", IOCTL_MOC_READ_MATCH_DATA, 0x443080},
    {"READ_MATCH_DATA_EX", IOCTL_MOC_READ_MATCH_DATA_EX, 0x443084},
    {"SENSOR_PRIVATE_GET", IOCTL_MOC_SENSOR_PRIVATE_GET, 0x443088},
    {"PRIVATE_COMMAND_1", IOCTL_MOC_PRIVATE_COMMAND_1, 0x44308C},
    {"PRIVATE_COMMAND_2", IOCTL_MOC_PRIVATE_COMMAND_2, 0x443090},
    {"GET_POLICY", IOCTL_MOC_GET_POLICY, 0x443094},
    {"DATABASE_VERSION", IOCTL_MOC_DATABASE_VERSION, 0x44309C},
    {"REPORT_MATCH", IOCTL_MOC_REPORT_MATCH, 0x4430A0},
    {"NOTIFY_DEACTIVATE", IOCTL_MOC_NOTIFY_DEACTIVATE, 0x4430A4},
};

TEST(DriverInterface, ControlCodesHaveTheirValues) {
    for (const CodeCase& c : kCodes) {
        EXPECT_EQ(c.code, c.value) << c.name;
        // Buffered, any access: only the device type and the function are set.
        EXPECT_EQ(c.code & 0xFFFFC003u, 0x440000u) << c.name;
    }
}

struct SizeCase {
    const char* name;
    size_t size;
    size_t expected;
};

const SizeCase kSizes[] = {
    {"IdentityKey", sizeof(IdentityKey), 32},
    {"HostOwnerId", sizeof(HostOwnerId), 16},
    {"TemplateSlotEntry", sizeof(TemplateSlotEntry), 35},
    {"TemplateSlotEntryOwned", sizeof(TemplateSlotEntryOwned), 52},
    {"TemplateSlotEntryOwned.Key", offsetof(TemplateSlotEntryOwned, Key), 3},
    {"TemplateSlotEntryOwned.Owner", offsetof(TemplateSlotEntryOwned, Owner), 36},
    {"MocCapabilities", sizeof(MocCapabilities), 8},
    {"MocPolicy", sizeof(MocPolicy), 8},
    {"MatchDetail", sizeof(MatchDetail), 28},
    {"MatchReport", sizeof(MatchReport), 26},
    {"MocIdentifyResponse", sizeof(MocIdentifyResponse), 94},
    {"MocIdentifyResponse.Key", offsetof(MocIdentifyResponse, Key), 2},
    {"MocIdentifyResponse nonce detail", offsetof(MocIdentifyResponse, Tail.WithNonce.Detail), 66},
    {"MocIdentifyResponse plain detail", offsetof(MocIdentifyResponse, Tail.WithoutNonce.Detail),
     34},
    {"MocDuplicateResponse", sizeof(MocDuplicateResponse), 35},
    {"MocDuplicateResponse.Key", offsetof(MocDuplicateResponse, Key), 3},
    {"MocAcceptSampleResponse", sizeof(MocAcceptSampleResponse), 9},
    {"MocAcceptSampleResponse.SampleToken", offsetof(MocAcceptSampleResponse, SampleToken), 1},
    {"MocConfirmSampleRequest", sizeof(MocConfirmSampleRequest), 9},
    {"MocCommitEnrollmentRequest", sizeof(MocCommitEnrollmentRequest), 33},
    {"MocDatabaseVersionRequest", sizeof(MocDatabaseVersionRequest), 5},
    {"MocClaimKeys", sizeof(MocClaimKeys), 290},
    {"MocReconnectResponse", sizeof(MocReconnectResponse), 34},
    {"WINBIO_SENSOR_ATTRIBUTES", sizeof(WINBIO_SENSOR_ATTRIBUTES), 1580},
    {"WINBIO_BLANK_PAYLOAD", sizeof(WINBIO_BLANK_PAYLOAD), 8},
    {"WINBIO_DIAGNOSTICS", sizeof(WINBIO_DIAGNOSTICS), 20},
    {"WINBIO_CAPTURE_PARAMETERS", sizeof(WINBIO_CAPTURE_PARAMETERS), 32},
    {"WINBIO_SECURE_CONNECTION_PARAMS", sizeof(WINBIO_SECURE_CONNECTION_PARAMS), 8},
    {"WINBIO_SECURE_CONNECTION_DATA", sizeof(WINBIO_SECURE_CONNECTION_DATA), 20},
    {"WINBIO_IDENTITY", sizeof(WINBIO_IDENTITY), 76},
};

TEST(DriverInterface, RecordsHaveTheirWireSizes) {
    for (const SizeCase& c : kSizes) {
        EXPECT_EQ(c.size, c.expected) << c.name;
    }
}

TEST(DriverInterface, MultiByteFieldsAreLittleEndianAtTheirOffsets) {
    MocAcceptSampleResponse accept;
    accept.Status = 7;
    accept.SampleToken = 0x0807060504030201ull;
    const BYTE acceptBytes[9] = {7, 1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(std::memcmp(&accept, acceptBytes, sizeof(acceptBytes)), 0);

    MocDatabaseVersionRequest version;
    version.Operation = MOC_DATABASE_VERSION_SET;
    version.Version = MOC_CHIP_DATABASE_VERSION;
    const BYTE versionBytes[5] = {0, 3, 0, 0, 0};
    EXPECT_EQ(std::memcmp(&version, versionBytes, sizeof(versionBytes)), 0);
}

TEST(DriverInterface, FailureCodeIsFamilyWithMaskedError) {
    struct Case {
        HRESULT family;
        DWORD error;
        DWORD expected;
    } cases[] = {
        {MOC_E_IDENTIFY, ERROR_GEN_FAILURE, 0xEE05001Fu},
        {MOC_E_BEGIN_ENROLLMENT, ERROR_INVALID_DATA, 0xEE03000Du},
        {MOC_E_COMMIT_ENROLLMENT, 0, 0xEE040000u},
        {MOC_E_ACCEPT_SAMPLE, ERROR_OPERATION_ABORTED, 0xEE0603E3u},
        {MOC_E_CHECK_DUPLICATE, ERROR_DEVICE_NOT_AVAILABLE, 0xEE0810DFu},
        {MOC_E_DELETE_TEMPLATE, ERROR_ACCESS_DENIED, 0xEF010005u},
        {MOC_E_READ_TEMPLATE_TABLE, ERROR_INVALID_HANDLE, 0xEF020006u},
        {MOC_E_CONNECT_SECURE_REQUEST, ERROR_GEN_FAILURE, 0xED04001Fu},
        {MOC_E_CONNECT_SECURE_RESPONSE, MOC_SECURE_REASON_MALFORMED, 0xED050003u},
        // An error above 16 bits would otherwise turn one family into another.
        {MOC_E_IDENTIFY, 0x00030007u, 0xEE050007u},
        {MOC_E_DELETE_TEMPLATE, 0xFFFFFFFFu, 0xEF01FFFFu},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(static_cast<DWORD>(MocFailure(c.family, c.error)), c.expected)
            << std::hex << c.family << " " << c.error;
    }
    EXPECT_EQ(static_cast<DWORD>(MOC_E_SECURE_CONNECTION_CREATE), 0xED010006u);
    EXPECT_EQ(static_cast<DWORD>(MOC_E_CONNECT_SECURE_ARGUMENT), 0xED030057u);
}

TEST(DriverInterface, PolicyNumberTakesByteTwoBitZeroAndByteOneTopBits) {
    struct Case {
        BYTE byte1;
        BYTE byte2;
        DWORD policy;
    } cases[] = {
        {0x40, 0x00, MOC_POLICY_PURGE_FOREIGN_AT_OPEN},
        {0x80, 0x00, MOC_POLICY_PURGE_FOREIGN_AT_FIRST_UNLOCK},
        {0xC0, 0x00, MOC_POLICY_PURGE_FOREIGN_WHEN_FULL},
        {0x3F, 0xFE, 0}, // only the named bits count
        {0x00, 0x01, 4},
        {0xC0, 0x01, 7},
    };
    for (const Case& c : cases) {
        MocPolicy policy;
        std::memset(&policy, 0xFF, sizeof(policy));
        policy.Bytes[1] = c.byte1;
        policy.Bytes[2] = c.byte2;
        EXPECT_EQ(MocPolicyNumber(policy), c.policy) << int(c.byte1) << " " << int(c.byte2);
    }
}

TEST(DriverInterface, SlotEntrySizeFollowsOwnerIdMode) {
    MocCapabilities caps = {};
    EXPECT_EQ(TemplateSlotEntrySize(caps), 35u);
    caps.OwnerIdMode = 2; // any non-zero value
    EXPECT_EQ(TemplateSlotEntrySize(caps), 52u);
}

} // namespace
