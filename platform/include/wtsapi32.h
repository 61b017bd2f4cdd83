// Console session queries.
#pragma once
#include "wintypes.h"

#define WTS_CURRENT_SERVER_HANDLE (static_cast<HANDLE>(nullptr))
#define WTS_SESSIONSTATE_UNKNOWN 0xFFFFFFFFu
#define WTS_SESSIONSTATE_LOCK 0x00000000u
#define WTS_SESSIONSTATE_UNLOCK 0x00000001u
#define WINSTATIONNAME_LENGTH 32
#define USERNAME_LENGTH 20
#define DOMAIN_LENGTH 17

typedef enum _WTS_INFO_CLASS {
    WTSInitialProgram = 0,
    WTSApplicationName,
    WTSWorkingDirectory,
    WTSOEMId,
    WTSSessionId,
    WTSUserName,
    WTSWinStationName,
    WTSDomainName,
    WTSConnectState,
    WTSClientBuildNumber,
    WTSClientName,
    WTSClientDirectory,
    WTSClientProductId,
    WTSClientHardwareId,
    WTSClientAddress,
    WTSClientDisplay,
    WTSClientProtocolType,
    WTSIdleTime,
    WTSLogonTime,
    WTSIncomingBytes,
    WTSOutgoingBytes,
    WTSIncomingFrames,
    WTSOutgoingFrames,
    WTSClientInfo,
    WTSSessionInfo,
    WTSSessionInfoEx,
    WTSConfigInfo,
    WTSValidationInfo,
    WTSSessionAddressV4,
    WTSIsRemoteSession
} WTS_INFO_CLASS;
static_assert(WTSSessionInfoEx == 25, "WTSSessionInfoEx");

typedef struct _WTSINFOEX_LEVEL1_W {
    ULONG SessionId;
    DWORD SessionState; // WTS_CONNECTSTATE_CLASS
    LONG SessionFlags;
    WCHAR WinStationName[WINSTATIONNAME_LENGTH + 1];
    WCHAR UserName[USERNAME_LENGTH + 1];
    WCHAR DomainName[DOMAIN_LENGTH + 1];
    LARGE_INTEGER LogonTime;
    LARGE_INTEGER ConnectTime;
    LARGE_INTEGER DisconnectTime;
    LARGE_INTEGER LastInputTime;
    LARGE_INTEGER CurrentTime;
    DWORD IncomingBytes;
    DWORD OutgoingBytes;
    DWORD IncomingFrames;
    DWORD OutgoingFrames;
    DWORD IncomingCompressedBytes;
    DWORD OutgoingCompressedBytes;
} WTSINFOEX_LEVEL1_W;
static_assert(sizeof(WTSINFOEX_LEVEL1_W) == 224, "WTSINFOEX_LEVEL1_W");

typedef union _WTSINFOEX_LEVEL_W {
    WTSINFOEX_LEVEL1_W WTSInfoExLevel1;
} WTSINFOEX_LEVEL_W;

typedef struct _WTSINFOEXW {
    DWORD Level;
    WTSINFOEX_LEVEL_W Data;
} WTSINFOEXW, *PWTSINFOEXW;
static_assert(sizeof(WTSINFOEXW) == 232, "WTSINFOEXW");
static_assert(offsetof(WTSINFOEXW, Data.WTSInfoExLevel1.SessionFlags) == 16, "SessionFlags");

#define WTSAPI_API extern "C" __attribute__((visibility("default")))
WTSAPI_API DWORD WTSGetActiveConsoleSessionId(void);
WTSAPI_API BOOL WTSQuerySessionInformationW(HANDLE server, DWORD sessionId,
                                            WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                            DWORD* bytesReturned);
WTSAPI_API void WTSFreeMemory(PVOID memory);
