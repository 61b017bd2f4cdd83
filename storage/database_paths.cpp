#include "storage/database_paths.h"

#include <cstring>
#include "storage/database_file.h"
#include "storage/legacy_files.h"

namespace {

// Joins with a backslash; false when the result and its terminator exceed
// MAX_PATH characters.
bool Join(const char* folder, const char* name, char (&out)[MAX_PATH]) {
    size_t folderLength = std::strlen(folder);
    size_t nameLength = std::strlen(name);
    if (folderLength + 1 + nameLength + 1 > MAX_PATH)
        return false;
    std::memcpy(out, folder, folderLength);
    out[folderLength] = '\\';
    std::memcpy(out + folderLength + 1, name, nameLength + 1);
    return true;
}

} // namespace

bool MakeDatabasePaths(const WCHAR* filePath, DatabasePaths* paths) {
    if (filePath == nullptr || paths == nullptr)
        return false;
    std::memset(paths, 0, sizeof(*paths));
    int folderUnits = 0;
    for (int i = 0; filePath[i] != 0; ++i) {
        if (filePath[i] == u'\\' || filePath[i] == u'/')
            folderUnits = i;
    }
    if (folderUnits > 0) {
        // Without best-fit mapping a character with no form becomes the
        // default character and says so, instead of silently naming another
        // file.
        BOOL usedDefault = FALSE;
        int bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, filePath, folderUnits,
                                        paths->Folder, MAX_PATH - 1, nullptr, &usedDefault);
        if (bytes <= 0 || usedDefault)
            return false;
        paths->Folder[bytes] = '\0';
    }
    return Join(paths->Folder, PrivateDatabaseFile, paths->PrivateFile) &&
           Join(paths->Folder, LegacyRecordFile, paths->LegacyRecordFile) &&
           Join(paths->Folder, LegacyBlockFile, paths->LegacyBlockFile);
}

PathPresence PresenceOf(const WCHAR* path) {
    if (path == nullptr)
        return PathPresence::Unknown;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (GetFileAttributesExW(path, GetFileExInfoStandard, &data))
        return PathPresence::Present;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? PathPresence::Absent
                                                                          : PathPresence::Unknown;
}

PathPresence PresenceOf(const char* path) {
    WCHAR wide[MAX_PATH];
    if (path == nullptr || MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) <= 0)
        return PathPresence::Unknown;
    return PresenceOf(wide);
}
