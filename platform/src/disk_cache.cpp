// The disk cache that a power cut empties. While the test control keeps it,
// the file layer tells it of every change to a file or a name, and the cache
// keeps its own record of them: the files it knows, by a number of its own,
// the names that stand for them, and every change since the start in the
// order made, each marked once it is durable. A power cut puts back on the
// disk what the durable changes and the first few of the others (as many as
// the test asked to keep) make of the names, and turns the power off: every
// later file call fails until the test restores the power.
//
// The cache never goes by inode numbers to find a file again: a disk hands a
// deleted file's number to its next new file, and the deleted file would come
// back with the new one's bytes. It follows each file by its names instead,
// through the creations, moves and deletions it is told of; inode numbers only
// lead from an open handle to the file it was opened on, which no other file
// can take while the handle holds it, and each open for writing tells anew.
//
// What is modelled, as a disk that loses its write cache does, writing back
// what it holds in the order it was given:
// - bytes written to a file count once FlushFileBuffers returns; a file
//   created and never flushed holds nothing;
// - a new name, a deleted name and both names of a move count once the folder
//   that holds them is synced (the write-through move syncs its target's);
// - folders themselves, links and attributes count at once.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <map>
#include <vector>
#include <sys/stat.h>
#include "files_internal.h"
#include "platform/test_files.h"

namespace platform::detail {
namespace {

// A file as the cache knows it. A name may hold none, or something other than
// a file (a folder, a link), which the cache leaves as it finds it.
using FileId = uint64_t;
constexpr FileId kNoFile = 0;
constexpr FileId kNotAFile = UINT64_MAX;

struct Content {
    std::string bytes;
    mode_t mode = 0600;
};

struct NameChange {
    std::string name;
    FileId file = kNoFile;
    bool synced = false;
};

// One change as the file layer made it: names changed together (a creation,
// a deletion, a move), or the bytes of a file after one write.
struct Change {
    std::vector<NameChange> names;
    FileId file = kNoFile; // a change of bytes when set
    Content content;
    bool flushed = false;

    bool Durable() const {
        if (file != kNoFile)
            return flushed;
        for (const NameChange& n : names)
            if (!n.synced)
                return false;
        return true;
    }
};

struct Cache {
    std::mutex mutex;
    bool keeping = false; // from StartDiskCache until RestorePower
    bool off = false;     // the power is cut
    bool wasCut = false;
    size_t keptAtCut = 0;    // how many changes not yet durable a cut keeps
    size_t undurableCut = 0; // how many the last cut found
    FileId lastFile = kNoFile;
    // Each name as it stood when the cache first met it, and each file's bytes
    // as they were then (a new file: none): what the disk held for sure.
    std::map<std::string, FileId> first;
    std::map<FileId, Content> firstContent;
    // Each name the cache has met as it stands now.
    std::map<std::string, FileId> now;
    // The file each open handle for writing was opened on.
    std::map<FileKey, FileId> opened;
    std::vector<Change> changes;
};

Cache& cache() {
    static Cache& c = *new Cache;
    return c;
}

// Starts the cache afresh (`keeping`) or ends it; the caller holds the lock.
void Restart(Cache& c, bool keeping) {
    c.keeping = keeping;
    c.off = c.wasCut = false;
    c.keptAtCut = 0;
    c.lastFile = kNoFile;
    c.first.clear();
    c.firstContent.clear();
    c.now.clear();
    c.opened.clear();
    c.changes.clear();
}

ResetHook g_resetCache([] {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    Restart(c, false);
    c.undurableCut = 0;
});

void ReadAll(int fd, std::string* bytes) {
    char buffer[4096];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes->append(buffer, static_cast<size_t>(n));
    }
}

// The content and mode of the file at `path` now; "/proc/self/fd/N" reads the
// file behind a handle opened for writing only.
Content ContentAt(const std::string& path) {
    Content content;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0) {
        if (::fstat(fd, &st) == 0)
            content.mode = st.st_mode & 07777;
        ReadAll(fd, &content.bytes);
        ::close(fd);
    }
    return content;
}

std::string FolderOf(const std::string& key) {
    return std::filesystem::path(key).parent_path().string();
}

FileId NewFile(Cache& c, Content content) {
    const FileId file = ++c.lastFile;
    c.firstContent[file] = std::move(content);
    return file;
}

// The file that the name `key` stands for now. A name met for the first time
// stands for what the disk holds there: a file with its bytes, or nothing.
FileId FileAt(Cache& c, const std::string& key) {
    auto it = c.now.find(key);
    if (it != c.now.end())
        return it->second;
    FileId file = kNoFile;
    struct stat st {};
    if (::lstat(key.c_str(), &st) == 0)
        file = S_ISREG(st.st_mode) ? NewFile(c, ContentAt(key)) : kNotAFile;
    c.first[key] = file;
    c.now[key] = file;
    return file;
}

void NoteNames(Cache& c, std::vector<NameChange> names) {
    for (const NameChange& n : names)
        c.now[n.name] = n.file;
    Change change;
    change.names = std::move(names);
    c.changes.push_back(std::move(change));
}

// Puts `content` at `path` as a file of its own.
void PutBack(const std::string& path, const Content& content) {
    ::unlink(path.c_str());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    size_t done = 0;
    while (done < content.bytes.size()) {
        ssize_t n = ::write(fd, content.bytes.data() + done, content.bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::fchmod(fd, content.mode);
    ::close(fd);
}

// Makes the change that `run` makes on the disk, under the lock, and notes it
// when it succeeded while the cache is kept: `note` gets the normalized names,
// each met before the change.
template <class Run, class Note>
int Noted(const std::vector<std::string>& natives, Run run, Note note) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const bool noting = c.keeping && !c.off;
    std::vector<std::string> keys;
    if (noting) {
        for (const std::string& native : natives) {
            keys.push_back(NormalizedNativePath(native));
            FileAt(c, keys.back());
        }
    }
    const int result = run();
    const int err = errno;
    if (result == 0 && noting)
        note(c, keys);
    errno = err;
    return result;
}

// Tells the cache of a change while it is kept and the power is on.
template <class Note> void WhileKept(Note note) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.keeping && !c.off)
        note(c);
}

} // namespace

void CacheWriteOpen(const std::string& native, const FileKey& file, bool created) {
    WhileKept([&](Cache& c) {
        const std::string key = NormalizedNativePath(native);
        if (!created) {
            const FileId at = FileAt(c, key);
            if (at != kNoFile && at != kNotAFile)
                c.opened[file] = at;
            else
                c.opened.erase(file);
            return;
        }
        // The name did not exist: until a folder sync it still does not, and
        // the new file holds nothing until a flush.
        if (c.now.count(key) == 0)
            c.first[key] = kNoFile;
        Content empty;
        struct stat st {};
        if (::stat(key.c_str(), &st) == 0)
            empty.mode = st.st_mode & 07777;
        const FileId id = NewFile(c, empty);
        c.opened[file] = id;
        NoteNames(c, {{key, id}});
    });
}

void CacheWritten(const FileKey& file, int fd) {
    WhileKept([&](Cache& c) {
        auto it = c.opened.find(file);
        if (it == c.opened.end())
            return;
        Change change;
        change.file = it->second;
        change.content = ContentAt("/proc/self/fd/" + std::to_string(fd));
        c.changes.push_back(std::move(change));
    });
}

void CacheFlushed(const FileKey& file) {
    WhileKept([&](Cache& c) {
        auto it = c.opened.find(file);
        if (it == c.opened.end())
            return;
        for (Change& change : c.changes)
            if (change.file == it->second)
                change.flushed = true;
    });
}

int CachedUnlink(const std::string& native) {
    return Noted(
        {native}, [&] { return ::unlink(native.c_str()); },
        [](Cache& c, const std::vector<std::string>& keys) {
            NoteNames(c, {{keys[0], kNoFile}});
        });
}

int CachedRename(const std::string& from, const std::string& to) {
    return Noted(
        {from, to}, [&] { return ::rename(from.c_str(), to.c_str()); },
        [](Cache& c, const std::vector<std::string>& keys) {
            if (keys[0] == keys[1])
                return;
            NoteNames(c, {{keys[1], c.now[keys[0]]}, {keys[0], kNoFile}});
        });
}

void CacheFolderSynced(const std::string& nativeFolder) {
    WhileKept([&](Cache& c) {
        const std::string folder = NormalizedNativePath(nativeFolder);
        for (Change& change : c.changes)
            for (NameChange& n : change.names)
                if (FolderOf(n.name) == folder)
                    n.synced = true;
    });
}

bool PowerIsOff() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.off;
}

void StartCacheForCut(size_t kept) {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    Restart(c, true);
    c.keptAtCut = kept;
}

void CutPower() {
    WhileKept([](Cache& c) {
        // What the disk holds for sure, and the first changes it had not yet
        // made durable, applied in the order made.
        std::map<std::string, FileId> names = c.first;
        std::map<FileId, Content> contents = c.firstContent;
        size_t undurable = 0;
        for (const Change& change : c.changes) {
            const bool kept = change.Durable() || undurable++ < c.keptAtCut;
            for (const NameChange& n : change.names)
                if (kept || n.synced)
                    names[n.name] = n.file;
            if (change.file != kNoFile && (kept || change.flushed))
                contents[change.file] = change.content;
        }
        for (const auto& [name, file] : names) {
            if (file == kNoFile)
                ::unlink(name.c_str());
            else if (file != kNotAFile)
                PutBack(name, contents[file]);
        }
        // What the disk holds now is all there is.
        Restart(c, true);
        c.off = c.wasCut = true;
        c.undurableCut = undurable;
    });
}

} // namespace platform::detail

namespace platform::test {

void StartDiskCache() {
    detail::StartCacheForCut(0);
}

void CutPowerNow(size_t kept) {
    {
        detail::Cache& c = detail::cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.keptAtCut = kept;
    }
    detail::CutPower();
}

bool RestorePower(size_t* undurable) {
    detail::Cache& c = detail::cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const bool cut = c.wasCut;
    if (undurable != nullptr)
        *undurable = cut ? c.undurableCut : 0;
    detail::Restart(c, false);
    return cut;
}

} // namespace platform::test
