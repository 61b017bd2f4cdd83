// The disk cache that a power cut empties. While the test control keeps it,
// the file layer reports every change to it before (or as) it makes the change,
// and the cache remembers what the disk held for sure before that change: the
// content of each file as last flushed, and each name as last made durable by
// a folder sync. A power cut puts exactly that back on the disk and turns the
// power off: every later file call fails until the test restores the power.
//
// What is modelled, as a disk that loses its write cache does:
// - bytes written to a file count once FlushFileBuffers returns; a file
//   created and never flushed holds nothing;
// - a new name, a deleted name and both names of a move count once the folder
//   that holds them is synced (the write-through move syncs its target's);
// - folders themselves and attributes count at once.
#include <fcntl.h>
#include <unistd.h>
#include <filesystem>
#include <map>
#include <set>
#include <sys/stat.h>
#include "files_internal.h"
#include "platform/test_files.h"

namespace platform::detail {
namespace {

struct DurableContent {
    std::string bytes;
    mode_t mode = 0600;
};

// A name as the disk holds it for sure: a file (by identity) or nothing.
struct DurableName {
    bool present = false;
    FileKey file{};
};

struct Cache {
    std::mutex mutex;
    bool keeping = false; // from StartDiskCache until RestorePower
    bool off = false;     // the power is cut
    bool wasCut = false;
    // Files whose content changed since the cache was started, by identity.
    std::map<FileKey, DurableContent> contents;
    // Names changed and not yet made durable, by normalized native path.
    std::map<std::string, DurableName> names;
    // Every name the cache was told of: what a cut may have to put back.
    std::set<std::string> seen;
};

Cache& cache() {
    static Cache& c = *new Cache;
    return c;
}

// Starts the cache afresh (`keeping`) or ends it; the caller holds the lock.
void Restart(Cache& c, bool keeping) {
    c.keeping = keeping;
    c.off = c.wasCut = false;
    c.contents.clear();
    c.names.clear();
    c.seen.clear();
}

ResetHook g_resetCache([] {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    Restart(c, false);
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
DurableContent ContentAt(const std::string& path) {
    DurableContent content;
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

// Remembers the durable content of the file `key`, found at `path`, unless it
// is already remembered: the first change since the start is the one that
// leaves the disk's copy behind.
void RememberContent(Cache& c, const FileKey& key, const std::string& path) {
    if (c.contents.count(key) == 0)
        c.contents[key] = ContentAt(path);
}

// Remembers what the name `key` durably stands for, before its first change.
void RememberName(Cache& c, const std::string& key) {
    c.seen.insert(key);
    if (c.names.count(key) != 0)
        return;
    DurableName name;
    struct stat st {};
    if (::lstat(key.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        name.present = true;
        name.file = FileKey(st.st_dev, st.st_ino);
        RememberContent(c, name.file, key);
    }
    c.names[key] = name;
}

// Puts `content` at `path` as a file of its own.
void PutBack(const std::string& path, const DurableContent& content) {
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
        c.seen.insert(key);
        if (!created) {
            RememberContent(c, file, key);
            return;
        }
        // The name did not exist: until a folder sync it still does not, and
        // the new file holds nothing until a flush.
        if (c.names.count(key) == 0)
            c.names[key] = DurableName{};
        DurableContent empty;
        struct stat st {};
        if (::stat(key.c_str(), &st) == 0)
            empty.mode = st.st_mode & 07777;
        c.contents[file] = empty;
    });
}

void CacheFlushed(const FileKey& file, int fd) {
    WhileKept(
        [&](Cache& c) { c.contents[file] = ContentAt("/proc/self/fd/" + std::to_string(fd)); });
}

void CacheBeforeUnlink(const std::string& native) {
    WhileKept([&](Cache& c) { RememberName(c, NormalizedNativePath(native)); });
}

void CacheBeforeRename(const std::string& from, const std::string& to) {
    WhileKept([&](Cache& c) {
        RememberName(c, NormalizedNativePath(from));
        RememberName(c, NormalizedNativePath(to));
    });
}

void CacheFolderSynced(const std::string& nativeFolder) {
    WhileKept([&](Cache& c) {
        const std::string folder = NormalizedNativePath(nativeFolder);
        for (auto it = c.names.begin(); it != c.names.end();)
            it = FolderOf(it->first) == folder ? c.names.erase(it) : std::next(it);
    });
}

bool PowerIsOff() {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.off;
}

void CutPower() {
    WhileKept([](Cache& c) {
        for (const std::string& key : c.seen) {
            auto name = c.names.find(key);
            if (name != c.names.end()) {
                if (!name->second.present) {
                    ::unlink(key.c_str());
                } else {
                    auto content = c.contents.find(name->second.file);
                    if (content != c.contents.end())
                        PutBack(key, content->second);
                }
                continue;
            }
            // A durable name: its file keeps only what was flushed of it.
            struct stat st {};
            if (::lstat(key.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            auto content = c.contents.find(FileKey(st.st_dev, st.st_ino));
            if (content != c.contents.end())
                PutBack(key, content->second);
        }
        // What the disk holds now is all there is.
        Restart(c, true);
        c.off = c.wasCut = true;
    });
}

} // namespace platform::detail

namespace platform::test {

void StartDiskCache() {
    detail::Cache& c = detail::cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    detail::Restart(c, true);
}

void CutPowerNow() {
    detail::CutPower();
}

bool RestorePower() {
    detail::Cache& c = detail::cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    const bool cut = c.wasCut;
    detail::Restart(c, false);
    return cut;
}

} // namespace platform::test
