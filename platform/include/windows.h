// Umbrella header of the platform stand-in: the kernel, heap, file, module and
// string calls the system uses, declared with the platform's names and values.
#pragma once
#include "wintypes.h"
#include "winerror.h"

// Module entry
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// Last error, handles
WINPLATFORM_API DWORD GetLastError(void);
WINPLATFORM_API void SetLastError(DWORD error);
WINPLATFORM_API BOOL CloseHandle(HANDLE handle);

// Process heap
#define HEAP_ZERO_MEMORY 0x00000008u
WINPLATFORM_API HANDLE GetProcessHeap(void);
WINPLATFORM_API LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
WINPLATFORM_API BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID mem);

// Files and folders
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_EXECUTE 0x20000000u
#define GENERIC_ALL 0x10000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_SYSTEM 0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100u
#define FILE_ATTRIBUTE_SPARSE_FILE 0x00000200u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800u
#define FILE_ATTRIBUTE_OFFLINE 0x00001000u
#define FILE_ATTRIBUTE_NOT_CONTENT_INDEXED 0x00002000u
#define FILE_ATTRIBUTE_ENCRYPTED 0x00004000u
#define FILE_FLAG_OVERLAPPED 0x40000000u
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
#define INVALID_FILE_SIZE 0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER 0xFFFFFFFFu
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u
#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_WRITE_THROUGH 0x00000008u

typedef enum _GET_FILEEX_INFO_LEVELS {
    GetFileExInfoStandard = 0,
    GetFileExMaxInfoLevel = 1
} GET_FILEEX_INFO_LEVELS;

typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;
static_assert(sizeof(WIN32_FILE_ATTRIBUTE_DATA) == 36, "WIN32_FILE_ATTRIBUTE_DATA");

WINPLATFORM_API HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                   DWORD disposition, DWORD flags, HANDLE templ);
WINPLATFORM_API HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES sa, DWORD disposition, DWORD flags,
                                   HANDLE templ);
WINPLATFORM_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                              LPOVERLAPPED overlapped);
WINPLATFORM_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                               LPOVERLAPPED overlapped);
WINPLATFORM_API BOOL FlushFileBuffers(HANDLE file);
WINPLATFORM_API DWORD GetFileSize(HANDLE file, LPDWORD high);
WINPLATFORM_API BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
WINPLATFORM_API DWORD SetFilePointer(HANDLE file, LONG distance, PLONG high, DWORD method);
WINPLATFORM_API BOOL GetFileAttributesExA(LPCSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID info);
WINPLATFORM_API BOOL GetFileAttributesExW(LPCWSTR name, GET_FILEEX_INFO_LEVELS level, LPVOID info);
WINPLATFORM_API DWORD GetFileAttributesA(LPCSTR name);
WINPLATFORM_API DWORD GetFileAttributesW(LPCWSTR name);
WINPLATFORM_API BOOL SetFileAttributesA(LPCSTR name, DWORD attributes);
WINPLATFORM_API BOOL SetFileAttributesW(LPCWSTR name, DWORD attributes);
WINPLATFORM_API BOOL DeleteFileA(LPCSTR name);
WINPLATFORM_API BOOL DeleteFileW(LPCWSTR name);
WINPLATFORM_API BOOL CreateDirectoryA(LPCSTR name, LPSECURITY_ATTRIBUTES sa);
WINPLATFORM_API BOOL CreateDirectoryW(LPCWSTR name, LPSECURITY_ATTRIBUTES sa);
WINPLATFORM_API BOOL RemoveDirectoryA(LPCSTR name);
WINPLATFORM_API BOOL RemoveDirectoryW(LPCWSTR name);
WINPLATFORM_API BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
WINPLATFORM_API BOOL MoveFileExW(LPCWSTR existing, LPCWSTR target, DWORD flags);

// Debugger output, time, process and thread
WINPLATFORM_API void OutputDebugStringA(LPCSTR text);
WINPLATFORM_API void OutputDebugStringW(LPCWSTR text);
WINPLATFORM_API void GetLocalTime(LPSYSTEMTIME time);
WINPLATFORM_API void GetSystemTime(LPSYSTEMTIME time);
WINPLATFORM_API DWORD GetCurrentProcessId(void);
WINPLATFORM_API DWORD GetCurrentThreadId(void);
WINPLATFORM_API DWORD GetTickCount(void);
WINPLATFORM_API void Sleep(DWORD milliseconds);

// Strings
#define CP_ACP 0u
#define CP_UTF8 65001u
#define WC_ERR_INVALID_CHARS 0x00000080u
#define WC_NO_BEST_FIT_CHARS 0x00000400u
#define MB_ERR_INVALID_CHARS 0x00000008u
WINPLATFORM_API UINT GetACP(void);
WINPLATFORM_API int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideCount,
                                        LPSTR narrow, int narrowSize, LPCSTR defaultChar,
                                        LPBOOL usedDefault);
WINPLATFORM_API int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR narrow, int narrowCount,
                                        LPWSTR wide, int wideSize);
WINPLATFORM_API int lstrlenW(LPCWSTR text);
WINPLATFORM_API int lstrlenA(LPCSTR text);

// Modules and resources
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCEA(i) (reinterpret_cast<LPSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define IS_INTRESOURCE(r) ((reinterpret_cast<ULONG_PTR>(r) >> 16) == 0)
#define RT_VERSION MAKEINTRESOURCEW(16)
#define RT_RCDATA MAKEINTRESOURCEW(10)
WINPLATFORM_API HMODULE GetModuleHandleW(LPCWSTR name);
WINPLATFORM_API HRSRC FindResourceW(HMODULE module, LPCWSTR name, LPCWSTR type);
WINPLATFORM_API HGLOBAL LoadResource(HMODULE module, HRSRC resource);
WINPLATFORM_API LPVOID LockResource(HGLOBAL data);
WINPLATFORM_API DWORD SizeofResource(HMODULE module, HRSRC resource);

#include "winver.h"
#include "winversion_check.h"
#include "winreg.h"
#include "winsvc.h"
#include "winioctl.h"
#include "ioapiset.h"
#include "synchapi.h"
#include "winpower.h"
