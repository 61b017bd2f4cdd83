#include "host/file_trouble.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include "common/file_utils.h"
#include "common/whole_file.h"
#include "host/result_names.h"
#include "platform/native_path.h"
#include "storage/database_file.h"

namespace host {
namespace {

// The second temporary name of a try, beside the file: as long as the writer's, so that a
// path that leaves room for the one leaves room for the other.
constexpr char kTryName[] = ".try";
static_assert(sizeof(kTryName) == std::size(kReplacementSuffix), "as long as the writer's");

bool HasDrive(const std::string& path) {
    return path.size() >= 2 && path[1] == ':';
}

FileTrouble Trouble(DWORD error, std::string step) {
    FileTrouble t;
    t.error = error != 0 ? error : ERROR_GEN_FAILURE;
    t.step = std::move(step);
    switch (t.error) {
    case ERROR_ACCESS_DENIED:
        t.kind = FileTrouble::Kind::AccessDenied;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        t.kind = FileTrouble::Kind::DiskFull;
        break;
    case ERROR_WRITE_PROTECT:
        t.kind = FileTrouble::Kind::ReadOnlyVolume;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
        t.kind = FileTrouble::Kind::NameTooLong;
        break;
    // The platform's answer for a name that holds a pipe, socket or device.
    case ERROR_CANT_ACCESS_FILE:
        t.kind = FileTrouble::Kind::NotAFile;
        break;
    default:
        t.kind = FileTrouble::Kind::Failed;
        break;
    }
    return t;
}

// Whether the name is there, and what it is: a folder, or a name the platform marks as a
// device, is refused on its attributes, before any open of it.
FileTrouble LookUp(const std::string& path, bool* present, DWORD* attributes) {
    *present = false;
    // The stand-in turns every backslash into a folder separator, the root's own too.
    if (!HasDrive(path)) {
        const std::string native = platform::NativePath(path.c_str());
        if (!native.empty() && native != path) {
            FileTrouble t;
            t.kind = FileTrouble::Kind::Unmappable;
            t.step = "cannot be named";
            return t;
        }
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return {};
        return Trouble(error, error == ERROR_FILENAME_EXCED_RANGE ? "cannot be named"
                                                                  : "cannot be looked up");
    }
    *present = true;
    *attributes = data.dwFileAttributes;
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        FileTrouble t;
        t.kind = FileTrouble::Kind::NotAFile;
        t.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return t;
    }
    return {};
}

// A link that the look-up found (the platform describes a link itself) but whose open
// finds nothing leads to a file that is not there: its volume is not mounted, or the file
// was moved. The platform has no call here that reads where a link leads; tolvimoc is the
// stand-in's own tool, so it asks the file system.
bool LinkTarget(const std::string& path, std::string* target) {
    std::error_code ec;
    const std::filesystem::path link = platform::NativePath(path.c_str());
    std::filesystem::path to = std::filesystem::read_symlink(link, ec);
    if (ec || to.empty())
        return false;
    if (to.is_relative())
        to = (link.parent_path() / to).lexically_normal();
    *target = to.string();
    return true;
}

// `attributes` are those the look-up found.
FileTrouble Open(const std::string& path, DWORD attributes) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return {};
    }
    const DWORD error = GetLastError();
    FileTrouble t = Trouble(error, "cannot be opened");
    if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && LinkTarget(path, &t.target))
        t.kind = FileTrouble::Kind::DanglingLink;
    return t;
}

} // namespace

FileTrouble OpenAsFile(const std::string& path, bool* present) {
    DWORD attributes = 0;
    FileTrouble t = LookUp(path, present, &attributes);
    return t || !*present ? t : Open(path, attributes);
}

FileRead ReadThroughPlatform(const std::string& path) {
    FileRead read;
    DWORD attributes = 0;
    read.trouble = LookUp(path, &read.present, &attributes);
    if (read.trouble || !read.present)
        return read;
    bool unreadable = false;
    const HRESULT hr = LoadWholeFile(path.c_str(), &read.bytes, &unreadable);
    if (SUCCEEDED(hr))
        return read;
    if (hr == E_OUTOFMEMORY) {
        read.trouble = Trouble(ERROR_NOT_ENOUGH_MEMORY, "cannot be read");
    } else if (unreadable) {
        const DWORD error = GetLastError();
        // An open that fails again says so more plainly than the read.
        read.trouble = Open(path, attributes);
        if (!read.trouble)
            read.trouble = Trouble(error != 0 ? error : ERROR_READ_FAULT, "cannot be read");
    } else {
        read.tooLong = true;
    }
    return read;
}

FileTrouble TryReplacing(const std::string& path, std::optional<size_t> needed) {
    bool present = false;
    DWORD attributes = 0;
    FileTrouble t = LookUp(path, &present, &attributes);
    if (t)
        return t;
    // The platform does not move a file over one marked read-only.
    if (present && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        t.kind = FileTrouble::Kind::ReadOnlyFile;
        t.error = ERROR_ACCESS_DENIED;
        t.step = "cannot be replaced";
        return t;
    }
    // Its bytes, read whole before anything is written: the try of the move puts them back.
    FileRead current;
    if (present) {
        current = ReadThroughPlatform(path);
        if (current.trouble)
            return current.trouble;
    }
    const std::string temporary =
        path + std::string(std::begin(kReplacementSuffix), std::end(kReplacementSuffix) - 1);
    const std::string shown = "cannot be replaced: its temporary file " + ShownPath(temporary);
    // Made as the library's writer makes it, so that a link planted at its name is never
    // written through.
    HANDLE file = CreateReplacementFile(temporary.c_str());
    if (file == INVALID_HANDLE_VALUE) {
        t = Trouble(GetLastError(), shown + " cannot be made");
        // The writer clears what stands at its temporary name, but does not empty a folder.
        if (t.error == ERROR_DIR_NOT_EMPTY) {
            t.kind = FileTrouble::Kind::FolderInTheWay;
            t.step = "cannot be replaced";
            t.inTheWay = temporary;
        }
        return t;
    }
    // As many bytes as the failed save wrote: a nearly full disk may still take fewer. A
    // save adds one record at most. A size read from a trace is bounded as the library
    // bounds the files it reads.
    const size_t size = std::min<size_t>(
        needed ? *needed : current.bytes.size() + MOC_DATABASE_BLOCK_SIZE, kMaxWholeFileBytes);
    const std::vector<BYTE> zeros(std::max<size_t>(size, 1), 0);
    DWORD error = WriteAllBytes(file, zeros.data(), zeros.size());
    if (error == 0 && !FlushFileBuffers(file))
        error = GetLastError();
    if (!CloseHandle(file) && error == 0)
        error = GetLastError();
    if (error != 0) {
        DeleteFileA(temporary.c_str());
        return Trouble(error, shown + " cannot be written");
    }
    // The move and the flush of the folder that records it, onto a name of this try's own:
    // the file's own name is never made here.
    const std::string moved = path + kTryName;
    DeleteFileA(moved.c_str());
    if (!MoveFileExA(temporary.c_str(), moved.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = GetLastError();
        const bool renamed = GetFileAttributesA(moved.c_str()) != INVALID_FILE_ATTRIBUTES;
        DeleteFileA(temporary.c_str());
        DeleteFileA(moved.c_str());
        const std::string folder = path.substr(0, path.find_last_of("\\/"));
        return Trouble(error, renamed ? "cannot be replaced: its folder " + ShownPath(folder) +
                                            " takes the move of its temporary file, but not "
                                            "its flush"
                                      : shown + " cannot be moved");
    }
    DeleteFileA(moved.c_str());
    // The move over the file itself, as the writer makes it, with the bytes it holds.
    if (!present || current.tooLong)
        return {};
    error = ReplaceWholeFile(path.c_str(), current.bytes.data(), current.bytes.size());
    if (error == 0)
        return {};
    t = Trouble(error, "cannot be replaced");
    if (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED)
        t.kind = FileTrouble::Kind::NotReplaceable;
    return t;
}

TroubleWords DescribeTrouble(const FileTrouble& trouble, const std::string& root) {
    const std::string message = Win32ErrorMessage(trouble.error);
    const std::string again = ", then run the command again.";
    switch (trouble.kind) {
    case FileTrouble::Kind::None:
        break;
    case FileTrouble::Kind::NotAFile:
        return {trouble.folder ? "is a folder, not a file"
                               : "is not a file (a pipe, a socket or a device, or a link to one)",
                ""};
    case FileTrouble::Kind::AccessDenied:
        return {trouble.step + ": " + message,
                "Give this account read and write access to it and to its folder" + again};
    case FileTrouble::Kind::ReadOnlyFile:
        return {"is marked read-only, so it " + trouble.step,
                "Clear its read-only mark (give it write permission)" + again};
    case FileTrouble::Kind::DiskFull:
        return {trouble.step + ": the disk is full (" + message + ")",
                "Free some space on that disk" + again};
    case FileTrouble::Kind::ReadOnlyVolume:
        return {trouble.step + ": its volume is read-only (" + message + ")",
                "Make the volume writable, or use a root on one that is" + again};
    case FileTrouble::Kind::NameTooLong:
        return {trouble.step +
                    ": its path is too long, and the platform names no file by a path "
                    "of " +
                    std::to_string(MAX_PATH) + " characters or more (" + message + ")",
                "Use a root with a shorter path (move this one there)" + again};
    case FileTrouble::Kind::Unmappable:
        return {trouble.step + ": the root " + root +
                    " holds a backslash, which the platform's file calls take for a folder "
                    "separator, so the path names another file",
                "Use a root whose path holds no backslash (move this one there)" + again};
    case FileTrouble::Kind::DanglingLink:
        return {"is a link to " + trouble.target + ", which is not there",
                "Bring back what it links to (mount the volume that holds it, or put the file "
                "back at " +
                    trouble.target + ")" + again};
    case FileTrouble::Kind::NotReplaceable:
        if (trouble.error == ERROR_SHARING_VIOLATION)
            return {"is held open by another program that does not let it be replaced, so it " +
                        trouble.step + " (" + message + ")",
                    "Close the program that holds it open" + again};
        return {trouble.step +
                    ": the platform refuses to move a file over it, as over one "
                    "marked immutable (" +
                    message + ")",
                "Clear what keeps it from being replaced (an immutable mark, say)" + again};
    case FileTrouble::Kind::FolderInTheWay:
        return {trouble.step +
                    ": a folder with something in it stands at the name of its "
                    "temporary file, " +
                    ShownPath(trouble.inTheWay) + " (" + message + ")",
                "Move that folder out of the way (it is no file of the unit)" + again};
    case FileTrouble::Kind::Failed:
        return {trouble.step + ": " + message, "Mend the cause" + again};
    }
    return {};
}

std::string ShownPath(const std::string& path) {
    const std::string native = HasDrive(path) ? platform::NativePath(path.c_str()) : "";
    return native.empty() ? path : native;
}

} // namespace host
