// Results by name, as people read them: "WINBIO_E_UNKNOWN_ID (0x80098003)".
#pragma once
#include <windows.h>
#include <string>

namespace host {

// The name of every code the adapters return, with the value: the platform's and the
// framework's codes, the device channel's failure families with the Win32 error they
// carry, and any other HRESULT of a Win32 error.
std::string ResultText(HRESULT result);
// The name of a Win32 error ("ERROR_NOT_READY"), or its number.
std::string Win32ErrorText(DWORD error);
// The name with the number ("ERROR_NOT_READY (21)"), or the number alone.
std::string Win32ErrorValueText(DWORD error);
// The name with the platform's message, as people read it in advice
// ("ERROR_ACCESS_DENIED: access is denied"), or the number alone.
std::string Win32ErrorMessage(DWORD error);

} // namespace host
