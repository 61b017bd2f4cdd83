#include "host/result_names.h"

#include <cstdio>
#include <winbio_err.h>
#include "device/driver_interface.h"

namespace host {
namespace {

struct Named {
    HRESULT value;
    const char* name;
};

#define MOC_NAMED(code)                                                                            \
    { code, #code }

constexpr Named kResults[] = {
    MOC_NAMED(S_OK),
    MOC_NAMED(S_FALSE),
    MOC_NAMED(WINBIO_I_MORE_DATA),
    MOC_NAMED(E_NOTIMPL),
    MOC_NAMED(E_POINTER),
    MOC_NAMED(E_FAIL),
    MOC_NAMED(E_OUTOFMEMORY),
    MOC_NAMED(E_INVALIDARG),
    MOC_NAMED(WINBIO_E_UNSUPPORTED_FACTOR),
    MOC_NAMED(WINBIO_E_INVALID_UNIT),
    MOC_NAMED(WINBIO_E_UNKNOWN_ID),
    MOC_NAMED(WINBIO_E_CANCELED),
    MOC_NAMED(WINBIO_E_NO_MATCH),
    MOC_NAMED(WINBIO_E_CAPTURE_ABORTED),
    MOC_NAMED(WINBIO_E_ENROLLMENT_IN_PROGRESS),
    MOC_NAMED(WINBIO_E_BAD_CAPTURE),
    MOC_NAMED(WINBIO_E_INVALID_CONTROL_CODE),
    MOC_NAMED(WINBIO_E_DATA_COLLECTION_IN_PROGRESS),
    MOC_NAMED(WINBIO_E_UNSUPPORTED_DATA_FORMAT),
    MOC_NAMED(WINBIO_E_UNSUPPORTED_DATA_TYPE),
    MOC_NAMED(WINBIO_E_UNSUPPORTED_PURPOSE),
    MOC_NAMED(WINBIO_E_INVALID_DEVICE_STATE),
    MOC_NAMED(WINBIO_E_DEVICE_BUSY),
    MOC_NAMED(WINBIO_E_DATABASE_CANT_CREATE),
    MOC_NAMED(WINBIO_E_DATABASE_CANT_OPEN),
    MOC_NAMED(WINBIO_E_DATABASE_CANT_CLOSE),
    MOC_NAMED(WINBIO_E_DATABASE_CANT_ERASE),
    MOC_NAMED(WINBIO_E_DATABASE_CANT_FIND),
    MOC_NAMED(WINBIO_E_DATABASE_ALREADY_EXISTS),
    MOC_NAMED(WINBIO_E_DATABASE_FULL),
    MOC_NAMED(WINBIO_E_DATABASE_LOCKED),
    MOC_NAMED(WINBIO_E_DATABASE_CORRUPTED),
    MOC_NAMED(WINBIO_E_DATABASE_NO_SUCH_RECORD),
    MOC_NAMED(WINBIO_E_DUPLICATE_ENROLLMENT),
    MOC_NAMED(WINBIO_E_DATABASE_READ_ERROR),
    MOC_NAMED(WINBIO_E_DATABASE_WRITE_ERROR),
    MOC_NAMED(WINBIO_E_DATABASE_NO_RESULTS),
    MOC_NAMED(WINBIO_E_DATABASE_NO_MORE_RECORDS),
    MOC_NAMED(WINBIO_E_DATABASE_EOF),
    MOC_NAMED(WINBIO_E_DATABASE_BAD_INDEX_VECTOR),
    MOC_NAMED(WINBIO_E_NO_CAPTURE_DATA),
    MOC_NAMED(WINBIO_E_INVALID_SENSOR_MODE),
    MOC_NAMED(WINBIO_E_DEVICE_FAILURE),
    MOC_NAMED(MOC_E_SECURE_CONNECTION_CREATE),
    MOC_NAMED(MOC_E_CONNECT_SECURE_ARGUMENT),
};

// The device channel's families: the high half names the operation, the low half holds
// the Win32 error of the request (a reason for the secure-connection reply).
constexpr Named kFamilies[] = {
    MOC_NAMED(MOC_E_CONNECT_SECURE_REQUEST),
    MOC_NAMED(MOC_E_CONNECT_SECURE_RESPONSE),
    MOC_NAMED(MOC_E_BEGIN_ENROLLMENT),
    MOC_NAMED(MOC_E_COMMIT_ENROLLMENT),
    MOC_NAMED(MOC_E_IDENTIFY),
    MOC_NAMED(MOC_E_ACCEPT_SAMPLE),
    MOC_NAMED(MOC_E_CHECK_DUPLICATE),
    MOC_NAMED(MOC_E_DELETE_TEMPLATE),
    MOC_NAMED(MOC_E_READ_TEMPLATE_TABLE),
};

struct NamedError {
    DWORD value;
    const char* name;
    const char* text; // as the platform's message for it reads, for people
};

#define MOC_NAMED_ERROR(code, text)                                                                \
    { code, #code, text }

constexpr NamedError kWin32Errors[] = {
    MOC_NAMED_ERROR(ERROR_SUCCESS, "the operation completed successfully"),
    MOC_NAMED_ERROR(ERROR_INVALID_FUNCTION, "incorrect function"),
    MOC_NAMED_ERROR(ERROR_FILE_NOT_FOUND, "the system cannot find the file specified"),
    MOC_NAMED_ERROR(ERROR_PATH_NOT_FOUND, "the system cannot find the path specified"),
    MOC_NAMED_ERROR(ERROR_TOO_MANY_OPEN_FILES, "the system cannot open the file"),
    MOC_NAMED_ERROR(ERROR_ACCESS_DENIED, "access is denied"),
    MOC_NAMED_ERROR(ERROR_INVALID_HANDLE, "the handle is invalid"),
    MOC_NAMED_ERROR(ERROR_NOT_ENOUGH_MEMORY, "not enough memory is available for the command"),
    MOC_NAMED_ERROR(ERROR_INVALID_DATA, "the data is invalid"),
    MOC_NAMED_ERROR(ERROR_OUTOFMEMORY, "not enough memory is available for the operation"),
    MOC_NAMED_ERROR(ERROR_WRITE_PROTECT, "the media is write protected"),
    MOC_NAMED_ERROR(ERROR_NOT_READY, "the device is not ready"),
    MOC_NAMED_ERROR(ERROR_WRITE_FAULT, "the system cannot write to the specified device"),
    MOC_NAMED_ERROR(ERROR_READ_FAULT, "the system cannot read from the specified device"),
    MOC_NAMED_ERROR(ERROR_GEN_FAILURE, "a device attached to the system is not functioning"),
    MOC_NAMED_ERROR(ERROR_SHARING_VIOLATION, "the file is being used by another process"),
    MOC_NAMED_ERROR(ERROR_HANDLE_EOF, "reached the end of the file"),
    MOC_NAMED_ERROR(ERROR_HANDLE_DISK_FULL, "the disk is full"),
    MOC_NAMED_ERROR(ERROR_NOT_SUPPORTED, "the request is not supported"),
    MOC_NAMED_ERROR(ERROR_FILE_EXISTS, "the file exists"),
    MOC_NAMED_ERROR(ERROR_INVALID_PARAMETER, "the parameter is incorrect"),
    MOC_NAMED_ERROR(ERROR_BROKEN_PIPE, "the pipe has been ended"),
    MOC_NAMED_ERROR(ERROR_DISK_FULL, "there is not enough space on the disk"),
    MOC_NAMED_ERROR(ERROR_INSUFFICIENT_BUFFER,
                    "the data area passed to a system call is too small"),
    MOC_NAMED_ERROR(ERROR_INVALID_NAME, "the file name, folder name or volume label is not valid"),
    MOC_NAMED_ERROR(ERROR_DIR_NOT_EMPTY, "the folder is not empty"),
    MOC_NAMED_ERROR(ERROR_BUSY, "the requested resource is in use"),
    MOC_NAMED_ERROR(ERROR_ALREADY_EXISTS, "cannot create a file when that file already exists"),
    MOC_NAMED_ERROR(ERROR_FILENAME_EXCED_RANGE, "the file name or extension is too long"),
    MOC_NAMED_ERROR(ERROR_MORE_DATA, "more data is available"),
    MOC_NAMED_ERROR(ERROR_DIRECTORY, "the folder name is not valid"),
    MOC_NAMED_ERROR(ERROR_OPERATION_ABORTED, "the I/O operation has been aborted"),
    MOC_NAMED_ERROR(ERROR_IO_PENDING, "an overlapped I/O operation is in progress"),
    MOC_NAMED_ERROR(ERROR_NO_UNICODE_TRANSLATION,
                    "no mapping for the Unicode character exists in the target code page"),
    MOC_NAMED_ERROR(ERROR_NOT_FOUND, "element not found"),
    MOC_NAMED_ERROR(ERROR_CANT_ACCESS_FILE, "the file cannot be accessed by the system"),
    MOC_NAMED_ERROR(ERROR_CANCELLED, "the operation was canceled"),
    MOC_NAMED_ERROR(ERROR_DRIVER_PROCESS_TERMINATED, "the driver's host process has ended"),
    MOC_NAMED_ERROR(ERROR_DEVICE_NOT_AVAILABLE, "the device is not connected"),
};

#undef MOC_NAMED_ERROR
#undef MOC_NAMED

std::string WithValue(const std::string& name, HRESULT result) {
    char value[16];
    std::snprintf(value, sizeof(value), "0x%08X", static_cast<unsigned>(result));
    return name + " (" + value + ")";
}

const NamedError* FindWin32Error(DWORD error) {
    for (const NamedError& e : kWin32Errors)
        if (e.value == error)
            return &e;
    return nullptr;
}

const char* Win32ErrorName(DWORD error) {
    const NamedError* e = FindWin32Error(error);
    return e != nullptr ? e->name : nullptr;
}

} // namespace

std::string Win32ErrorText(DWORD error) {
    const char* name = Win32ErrorName(error);
    return name != nullptr ? name : "Win32 error " + std::to_string(error);
}

std::string Win32ErrorValueText(DWORD error) {
    const char* name = Win32ErrorName(error);
    return name != nullptr ? std::string(name) + " (" + std::to_string(error) + ")"
                           : Win32ErrorText(error);
}

std::string Win32ErrorMessage(DWORD error) {
    const NamedError* e = FindWin32Error(error);
    return e != nullptr ? std::string(e->name) + ": " + e->text : Win32ErrorText(error);
}

std::string ResultText(HRESULT result) {
    for (const Named& r : kResults)
        if (r.value == result)
            return WithValue(r.name, result);
    const DWORD value = static_cast<DWORD>(result);
    for (const Named& f : kFamilies) {
        if ((value & 0xFFFF0000u) != static_cast<DWORD>(f.value))
            continue;
        const DWORD low = value & 0xFFFFu;
        if (f.value == MOC_E_CONNECT_SECURE_RESPONSE)
            return WithValue(std::string(f.name) + " with reason " + std::to_string(low), result);
        return WithValue(std::string(f.name) + " with " + Win32ErrorText(low), result);
    }
    // FACILITY_WIN32 with the error in the low half.
    if ((value & 0xFFFF0000u) == 0x80070000u)
        return WithValue("HRESULT_FROM_WIN32(" + Win32ErrorText(value & 0xFFFFu) + ")", result);
    return WithValue(result < 0 ? "failure" : "success", result);
}

} // namespace host
