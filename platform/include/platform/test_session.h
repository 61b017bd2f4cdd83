#pragma once
#include <cstdint>
#include <string>
#include <vector>
#include "../windows.h"

namespace platform::test {

// Console session: the id WTSGetActiveConsoleSessionId returns (0xFFFFFFFF:
// no session on the console) and the SessionFlags of its WTSINFOEXW reply
// (WTS_SESSIONSTATE_LOCK, _UNLOCK or _UNKNOWN).
WINPLATFORM_CPP void SetConsoleSession(DWORD sessionId);
WINPLATFORM_CPP void SetConsoleLockState(LONG sessionFlags);
// The next queries fail with `error` (0 turns it off).
WINPLATFORM_CPP void FailSessionQuery(DWORD error);
// Replaces the reply bytes of the next queries (a short or odd reply); an
// empty vector goes back to the normal reply.
WINPLATFORM_CPP void SetSessionReply(const std::vector<uint8_t>& bytes);
WINPLATFORM_CPP void SetSessionReplyLevel(DWORD level);

// Known folders: the path SHGetKnownFolderPath returns for `id`
// (FOLDERID_ProgramData starts as u"C:\\ProgramData"), or a failure of every
// query until FailKnownFolder(S_OK).
WINPLATFORM_CPP void SetKnownFolderPath(const GUID& id, const std::u16string& path);
WINPLATFORM_CPP void FailKnownFolder(HRESULT hr);

} // namespace platform::test
