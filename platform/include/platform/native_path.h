// How the stand-in maps the platform's paths onto the POSIX file system.
// A leading drive ("C:\") becomes "<root>/C/", backslashes become slashes; a
// path without a drive is taken as it is. Every file call of the stand-in goes
// through this one mapping, and so do the standard file streams that the
// system's code opens (the platform's C++ library takes its paths natively).
// As on the platform, a path of MAX_PATH characters or more names no file: a
// wide path only escapes that limit with the "\\?\" prefix, a narrow one never.
#pragma once
#include <string>
#include "../wintypes.h"

namespace platform {

// The folder that stands for the drives; set by tests and by the framework
// stand-in. Defaults to $WINPLATFORM_ROOT, else "./winroot".
WINPLATFORM_CPP void SetDriveRoot(const std::string& folder);
WINPLATFORM_CPP std::string DriveRoot();

// Empty for a path the platform refuses, so that a stream opened on it fails.
WINPLATFORM_CPP std::string NativePath(const char* path);
WINPLATFORM_CPP std::string NativePath(const WCHAR* path);

} // namespace platform
