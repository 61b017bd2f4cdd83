// Resource, version and string utilities shared by both libraries. Modules
// are named by their file name among the modules already loaded; a null name
// is the process's main executable. Narrow strings are in the system's ANSI
// code page, wide strings UTF-16.
#pragma once
#include <exception>
#include <string>
#include <vector>
#include <windows.h>

// Thrown by the string conversions: E_OUTOFMEMORY, E_INVALIDARG, or the
// conversion's Win32 error in HRESULT form.
class HResultError : public std::exception {
public:
    explicit HResultError(HRESULT code) noexcept : code_(code) {}
    HRESULT Code() const noexcept { return code_; }
    const char* what() const noexcept override { return "string conversion failed"; }

private:
    HRESULT code_;
};

// Size in bytes of the module's resource of type "BINARY" whose integer id is
// the low 16 bits of `id`; 0 when it is missing or cannot be loaded.
DWORD GetBinaryResourceSize(DWORD id, const WCHAR* moduleName);

// Copies that resource to the start of `destination` and zeroes the rest of
// its `destinationSize` bytes. False, with the destination untouched, when the
// resource is missing or cannot be loaded or the destination is too small.
bool LoadBinaryResource(DWORD id, void* destination, DWORD destinationSize,
                        const WCHAR* moduleName);

// Writes the module's file version as "major.minor.build.revision" and returns
// its length without the terminator. 0 when the version cannot be read (the
// destination untouched) or when the text and its terminator do not fit
// `destinationSize` (the destination then holds zeros).
int GetModuleVersionString(char* destination, DWORD destinationSize, const WCHAR* moduleName);

// Writes dwFileVersionMS to `high` and dwFileVersionLS to `low`; both keep
// their values when the version cannot be read.
void GetModuleVersion(DWORD* high, DWORD* low, const WCHAR* moduleName);

// Conversions up to the first NUL character; they throw HResultError.
std::string WideStringToString(const std::u16string& text);
std::u16string StringToWideString(const std::string& text);

// The whole matches of `pattern` (ECMAScript) in `text`, left to right. An
// invalid pattern throws std::regex_error.
std::vector<std::string> SplitString(const std::string& text, const std::string& pattern);

// The pieces of `text` between the matches of `pattern` (ECMAScript): the text
// before the first match, between matches, and after the last one when that
// is not empty. A text without a match gives itself. An invalid pattern throws
// std::regex_error.
std::vector<std::u16string> SplitWideString(const std::u16string& text,
                                            const std::u16string& pattern);
