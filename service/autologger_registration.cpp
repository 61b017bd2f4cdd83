#include "service/autologger_registration.h"

#include "common/log_hub.h"
#include "common/trace_provider.h"

namespace {

// Systems of this build and later get no autologger registration.
constexpr DWORD kFirstBuildWithoutRegistration = 22000;

constexpr WCHAR kSessionKey[] = u"SYSTEM\\CurrentControlSet\\Control\\WMI\\Autologger\\KyvMocWbdi";

// {F7B941EE-EA5A-4984-927B-8DF3218DE3C8}: the sensor driver's provider, which
// neither library registers.
constexpr GUID DriverTraceProviderGuid = {
    0xF7B941EE, 0xEA5A, 0x4984, {0x92, 0x7B, 0x8D, 0xF3, 0x21, 0x8D, 0xE3, 0xC8}};

constexpr size_t kSessionKeyLength = sizeof(kSessionKey) / sizeof(WCHAR) - 1;
constexpr size_t kGuidTextLength = 38; // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}

// A provider subkey is named by the provider's GUID in braces under the
// session key.
struct ProviderKeyPath {
    WCHAR text[kSessionKeyLength + 1 + kGuidTextLength + 1];
};

constexpr ProviderKeyPath MakeProviderKeyPath(const GUID& guid) {
    ProviderKeyPath path{};
    size_t n = 0;
    for (size_t i = 0; i < kSessionKeyLength; ++i)
        path.text[n++] = kSessionKey[i];
    path.text[n++] = u'\\';
    auto hex = [&path, &n](uint32_t value, int digits) {
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4)
            path.text[n++] = u"0123456789ABCDEF"[(value >> shift) & 0xF];
    };
    path.text[n++] = u'{';
    hex(guid.Data1, 8);
    path.text[n++] = u'-';
    hex(guid.Data2, 4);
    path.text[n++] = u'-';
    hex(guid.Data3, 4);
    path.text[n++] = u'-';
    hex(guid.Data4[0], 2);
    hex(guid.Data4[1], 2);
    path.text[n++] = u'-';
    for (int i = 2; i < 8; ++i)
        hex(guid.Data4[i], 2);
    path.text[n++] = u'}';
    path.text[n] = 0;
    return path;
}

constexpr ProviderKeyPath kDriverProviderKey = MakeProviderKeyPath(DriverTraceProviderGuid);
// Named from the very constant TolviMocAdapter registers its provider with, so
// the session cannot end up enabling a GUID that nothing registers.
constexpr ProviderKeyPath kAdapterProviderKey = MakeProviderKeyPath(AdapterTraceControlGuid);

struct SessionValue {
    const WCHAR* name;
    DWORD type;
    DWORD number;      // REG_DWORD data
    const WCHAR* text; // REG_SZ data
};

const SessionValue kSessionValues[] = {
    {u"Start", REG_DWORD, 1, nullptr},
    {u"BufferSize", REG_DWORD, 4, nullptr},
    {u"ClockType", REG_DWORD, 1, nullptr},
    {u"FileMax", REG_DWORD, 5, nullptr},
    {u"FlushTimer", REG_DWORD, 1, nullptr},
    {u"LogFileMode", REG_DWORD, 2, nullptr},
    {u"MaxFileSize", REG_DWORD, 20, nullptr},
    {u"MaximumBuffers", REG_DWORD, 640, nullptr},
    {u"MinimumBuffers", REG_DWORD, 640, nullptr},
    {u"FileName", REG_SZ, 0,
     u"C:\\Windows\\System32\\drivers\\DriverData\\Quorvin\\KyvMocWbdi.etl"},
    {u"GUID", REG_SZ, 0, u"{9DB83BCD-540D-4ADC-8BF2-35CDBFC629F5}"},
};

struct ProviderValue {
    const WCHAR* name;
    DWORD type;
    ULONGLONG number;
};

const ProviderValue kProviderValues[] = {
    {u"Enabled", REG_DWORD, 1},
    {u"EnableLevel", REG_DWORD, 255},
    {u"EnableProperty", REG_DWORD, 0},
    {u"MatchAllKeyword", REG_QWORD, 0},
    // The low 32 keyword bits only, not all 64.
    {u"MatchAnyKeyword", REG_QWORD, 0x00000000FFFFFFFFull},
};

bool IsBuild22000OrLater() {
    OSVERSIONINFOEXW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 10;
    version.dwMinorVersion = 0;
    version.dwBuildNumber = kFirstBuildWithoutRegistration;
    const ULONGLONG mask = VerSetConditionMask(0, VER_BUILDNUMBER, VER_GREATER_EQUAL);
    // A failing check counts as an older build: the keys are written.
    return VerifyVersionInfoW(&version, VER_BUILDNUMBER, mask) != FALSE;
}

// `*key` is set only when the key was opened, so that a failed creation
// leaves nothing behind for the final close.
LSTATUS CreateKey(const WCHAR* path, HKEY* key) {
    HKEY opened = nullptr;
    const LSTATUS status =
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &opened, nullptr);
    if (status == ERROR_SUCCESS)
        *key = opened;
    return status;
}

// Registry values are little-endian, as the stand-in's hosts are.
LSTATUS WriteNumber(HKEY key, const WCHAR* name, DWORD type, ULONGLONG number) {
    if (type == REG_QWORD)
        return RegSetValueExW(key, name, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&number),
                              sizeof(ULONGLONG));
    const DWORD value = static_cast<DWORD>(number);
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(DWORD));
}

LSTATUS WriteSessionValues(HKEY key) {
    for (const SessionValue& value : kSessionValues) {
        LSTATUS status;
        if (value.type == REG_SZ) {
            // The terminating NUL is part of the data.
            const DWORD size = static_cast<DWORD>((lstrlenW(value.text) + 1) * sizeof(WCHAR));
            status = RegSetValueExW(key, value.name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(value.text), size);
        } else {
            status = WriteNumber(key, value.name, value.type, value.number);
        }
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

LSTATUS WriteProviderValues(HKEY key) {
    for (const ProviderValue& value : kProviderValues) {
        LSTATUS status = WriteNumber(key, value.name, value.type, value.number);
        if (status != ERROR_SUCCESS)
            return status;
    }
    return ERROR_SUCCESS;
}

// The result is the error of the registry call that failed, else 0; a missing
// driver provider subkey is skipped without a record.
LSTATUS RegisterAutologger(HKEY* openKey) {
    LSTATUS status = CreateKey(kSessionKey, openKey);
    if (status != ERROR_SUCCESS)
        return status;
    status = WriteSessionValues(*openKey);
    if (status != ERROR_SUCCESS)
        return status;
    RegCloseKey(*openKey);
    *openKey = nullptr;

    if (CreateKey(kDriverProviderKey.text, openKey) == ERROR_SUCCESS) {
        status = WriteProviderValues(*openKey);
        if (status != ERROR_SUCCESS)
            return status;
        RegCloseKey(*openKey);
        *openKey = nullptr;
    }

    status = CreateKey(kAdapterProviderKey.text, openKey);
    if (status != ERROR_SUCCESS)
        return status;
    return WriteProviderValues(*openKey);
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID /*reserved*/) {
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    if (IsBuild22000OrLater())
        return TRUE;

    HKEY openKey = nullptr;
    const LSTATUS lRet = RegisterAutologger(&openKey);
    CMsg::GetInstance()->Log(MSG_LEVEL_INFO, "DllMain", 277, "Add Reg lRet: %#x",
                             static_cast<unsigned>(lRet));
    // Every key is closed exactly once, whichever call failed.
    if (openKey != nullptr)
        RegCloseKey(openKey);
    return TRUE;
}
