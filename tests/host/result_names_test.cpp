// Results by name and value; the device channel's families carry the Win32 error in their
// low half.
#include <gtest/gtest.h>
#include <winbio_err.h>
#include "device/driver_interface.h"
#include "host/result_names.h"

namespace {

TEST(ResultNames, EveryKindOfResultIsNamedWithItsValue) {
    const struct {
        HRESULT result;
        const char* text;
    } cases[] = {
        {S_OK, "S_OK (0x00000000)"},
        {WINBIO_I_MORE_DATA, "WINBIO_I_MORE_DATA (0x00090001)"},
        {WINBIO_E_UNKNOWN_ID, "WINBIO_E_UNKNOWN_ID (0x80098003)"},
        {WINBIO_E_DATABASE_NO_RESULTS, "WINBIO_E_DATABASE_NO_RESULTS (0x8009801F)"},
        // A platform code that is also the HRESULT of a Win32 error keeps its own name.
        {E_INVALIDARG, "E_INVALIDARG (0x80070057)"},
        {HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_AVAILABLE),
         "HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_AVAILABLE) (0x800710DF)"},
        {HRESULT_FROM_WIN32(4000), "HRESULT_FROM_WIN32(Win32 error 4000) (0x80070FA0)"},
        {MocFailure(MOC_E_IDENTIFY, ERROR_NOT_READY),
         "MOC_E_IDENTIFY with ERROR_NOT_READY (0xEE050015)"},
        {MocFailure(MOC_E_READ_TEMPLATE_TABLE, ERROR_SUCCESS),
         "MOC_E_READ_TEMPLATE_TABLE with ERROR_SUCCESS (0xEF020000)"},
        {MocFailure(MOC_E_CONNECT_SECURE_RESPONSE, MOC_SECURE_REASON_MODEL_MISMATCH),
         "MOC_E_CONNECT_SECURE_RESPONSE with reason 2 (0xED050002)"},
        {MOC_E_SECURE_CONNECTION_CREATE, "MOC_E_SECURE_CONNECTION_CREATE (0xED010006)"},
        {static_cast<HRESULT>(0x80001234u), "failure (0x80001234)"},
        {static_cast<HRESULT>(0x00001234u), "success (0x00001234)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(host::ResultText(c.result), c.text);
}

// Advice names a Win32 error with the platform's message for it, never by its number alone.
TEST(ResultNames, Win32ErrorsAreNamedWithTheirMessage) {
    const struct {
        DWORD error;
        const char* text;
    } cases[] = {
        {ERROR_ACCESS_DENIED, "ERROR_ACCESS_DENIED: access is denied"},
        {ERROR_DISK_FULL, "ERROR_DISK_FULL: there is not enough space on the disk"},
        {ERROR_WRITE_PROTECT, "ERROR_WRITE_PROTECT: the media is write protected"},
        {ERROR_FILENAME_EXCED_RANGE,
         "ERROR_FILENAME_EXCED_RANGE: the file name or extension is too "
         "long"},
        {4000, "Win32 error 4000"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(host::Win32ErrorMessage(c.error), c.text);
}

} // namespace
