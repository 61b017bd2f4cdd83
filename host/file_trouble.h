// Why a file of the unit cannot be used, found as the platform's service could find it: by
// trying the file through the platform's file calls, as the adapter library reads and
// replaces it. What a person may do depends on the cause: a permission, a full disk or a
// read-only volume is mended without losing a template; only damage asks for more.
//
// Paths are the platform's: "C:\..." as the library names its files, or a path without a
// drive (the chip's state under the root), which the stand-in takes as it stands.
#pragma once
#include <windows.h>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct FileTrouble {
    enum class Kind {
        None,     // the file is usable, or not there
        NotAFile, // a folder, or a name the platform opens as no file
        AccessDenied,
        ReadOnlyFile, // marked read-only, so it cannot be replaced
        DiskFull,
        ReadOnlyVolume,
        NameTooLong, // the platform names no file by a path of MAX_PATH characters or more
        Unmappable,  // the root's name holds a backslash, so the path names another file
        // a folder with something in it stands where the file's replacement is written
        FolderInTheWay,
        // no file is moved over it (held open without delete sharing, marked immutable)
        NotReplaceable,
        Failed, // another error of a file call
        // A link that the look-up finds but whose target is not there: the volume that
        // holds it is not mounted, or the file was moved away.
        DanglingLink,
    };
    Kind kind = Kind::None;
    DWORD error = 0;      // of the file call that failed
    std::string step;     // what failed, as people read it: "cannot be opened"
    bool folder = false;  // NotAFile: a folder
    std::string inTheWay; // FolderInTheWay: its platform path
    std::string target;   // DanglingLink: where the link leads, as a native path
    explicit operator bool() const { return kind != Kind::None; }
};

// Looks the name up and opens it as a file, then closes it again.
FileTrouble OpenAsFile(const std::string& path, bool* present);

struct FileRead {
    bool present = false;
    FileTrouble trouble;     // why it could not be read whole
    bool tooLong = false;    // it opens, but is longer than any file the library reads
    std::vector<BYTE> bytes; // the whole file, when present, readable and not too long
};

// Reads the file whole as the library does (LoadWholeFile), after the same look-up.
FileRead ReadThroughPlatform(const std::string& path);

// Tries every step of the library's replacement of the file: the temporary file beside it
// created, `needed` bytes written to it (the file's size and one record block more when
// that is not known) and flushed, then moved, with write-through, to a second temporary
// name of this try's own and deleted again (the move and the folder's flush, without ever
// making the file's own name); and, for a file that is there, its replacement by the
// library's writer with its own bytes, read whole before anything is written.
FileTrouble TryReplacing(const std::string& path, std::optional<size_t> needed = std::nullopt);

// The cause, to follow the file's name ("is a folder, not a file"), and what to do about
// it; `root` is the folder that stands for the drives. The remedy of NotAFile depends on
// what the file keeps, so it is the caller's.
struct TroubleWords {
    std::string cause;
    std::string remedy;
};
TroubleWords DescribeTrouble(const FileTrouble& trouble, const std::string& root);

// Where the stand-in puts a platform path, for people to find it.
std::string ShownPath(const std::string& path);

} // namespace host
