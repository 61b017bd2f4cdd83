// The database folder and the storage adapter's file paths, derived from the
// framework's wide FilePath as narrow strings in the ANSI code page, and the
// existence test the database operations use.
#pragma once
#include <windows.h>

struct DatabasePaths {
    char Folder[MAX_PATH];           // FilePath without its last component
    char PrivateFile[MAX_PATH];      // PrivateDatabaseFile in that folder
    char LegacyRecordFile[MAX_PATH]; // the two older files in that folder
    char LegacyBlockFile[MAX_PATH];
};

// Fills `paths` from `filePath`. False when the folder has a character with no
// form in the ANSI code page, or a path, or the private file's temporary name
// beside it, would not fit MAX_PATH: such a path names no file this adapter
// could keep, and must never be taken for a file that does not exist.
bool MakeDatabasePaths(const WCHAR* filePath, DatabasePaths* paths);

enum class PathPresence {
    Present, // the file system returns attributes (a file or a folder)
    Absent,  // the file system says there is no such file or folder
    Unknown, // the attributes could not be read for another reason
};

// A narrow path is tested through its wide form, like every file call here.
PathPresence PresenceOf(const char* path);
PathPresence PresenceOf(const WCHAR* path);
