#include "storage/database_paths.h"

#include <cstring>
#include <iterator>
#include "storage/database_file.h"
#include "storage/legacy_files.h"
#include "common/whole_file.h"

namespace {

// Joins with a backslash; false when the result, `room` more characters and the
// terminator exceed MAX_PATH.
bool Join(const char* folder, const char* name, size_t room, char (&out)[MAX_PATH]) {
    size_t folderLength = std::strlen(folder);
    size_t nameLength = std::strlen(name);
    if (folderLength + 1 + nameLength + room + 1 > MAX_PATH)
        return false;
    std::memcpy(out, folder, folderLength);
    out[folderLength] = '\\';
    std::memcpy(out + folderLength + 1, name, nameLength + 1);
    return true;
}

// The first `units` characters of `wide` in the ANSI code page; false when one
// of them has no form there or the result does not fit.
bool ToAnsi(const WCHAR* wide, int units, char (&out)[MAX_PATH]) {
    int bytes = 0;
    if (GetACP() == CP_UTF8) {
        // UTF-8 has a form for every character and takes neither a best-fit
        // flag nor a default character; only an ill-formed string (an unpaired
        // surrogate) has none, which the flag has refused rather than replaced.
        bytes = WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, wide, units, out, MAX_PATH - 1,
                                    nullptr, nullptr);
    } else {
        // Without best-fit mapping a character with no form becomes the
        // default character and says so, instead of silently naming another
        // file.
        BOOL usedDefault = FALSE;
        bytes = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, out, MAX_PATH - 1,
                                    nullptr, &usedDefault);
        if (usedDefault)
            return false;
    }
    if (bytes <= 0)
        return false;
    out[bytes] = '\0';
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
    if (folderUnits > 0 && !ToAnsi(filePath, folderUnits, paths->Folder))
        return false;
    // The private file is rewritten through a temporary file beside it, whose
    // name must fit as well: a save that the platform refuses only after the
    // open has read and reconciled would fail every operation late.
    constexpr size_t kTemporaryRoom = std::size(kReplacementSuffix) - 1;
    return Join(paths->Folder, PrivateDatabaseFile, kTemporaryRoom, paths->PrivateFile) &&
           Join(paths->Folder, LegacyRecordFile, 0, paths->LegacyRecordFile) &&
           Join(paths->Folder, LegacyBlockFile, 0, paths->LegacyBlockFile);
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
