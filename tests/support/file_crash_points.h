// Crash points of an operation that writes files: the file calls one clean
// run of it makes, each replayed as a failure of that call, as an abrupt end
// of a forked child just before and just after it, and as power cuts just
// after it; and an end and power cuts after the whole operation. The points come from
// the calls the code makes, so a new write in the code is a new point without
// a change to any test.
#pragma once
#include <windows.h>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>
#include "platform/test_files.h"
#include "support/bytes.h"

namespace moc_test {

// One file call of a journal.
struct FileCallPoint {
    std::string function;
    int ordinal = 0;  // which call of `function` (1 = the first)
    size_t index = 0; // its place among all calls of the run
};

// The file calls of one run of `operation`, in the order made.
std::vector<FileCallPoint> RecordFileCalls(const std::function<void()>& operation);

// How the operation met its point.
enum class CrashKind {
    Failure,   // the call failed with the error given, in this process
    EndBefore, // a child ended just before the call
    EndAfter,  // a child ended just after the call returned
    // A child ended just after the operation returned: all it did outlives it.
    EndAtEnd,
    // In this process, the power went just after the call returned: of what
    // was not flushed and each name not synced, all is lost but the first few
    // changes in the order made (platform::test's disk cache), and every later
    // file call of the operation failed.
    PowerCut,
    // The power went after the operation had returned: everything it wrote
    // must be on the disk.
    PowerCutAtEnd,
};

// An operation with the test's parts around it.
struct CrashScenario {
    // Brings files, chip and adapter to the state before the operation.
    std::function<void()> arrange;
    // The operation. For the ends it runs in a child made with fork(): the
    // child inherits the simulated sensor, the adapter contexts and the files,
    // and what it changes in memory dies with it. What outlives it is on the
    // disk: the files, and the chip's state file when the chip keeps one, from
    // which the check takes the chip as the child left it.
    std::function<void()> operate;
    // Asserts on the state the point left; `where` names the point.
    std::function<void(const std::string& where, CrashKind kind)> check;
};

struct CrashPointCounts {
    size_t points = 0;
    size_t failures = 0; // failures replayed
    size_t ends = 0;     // children ended, around the calls and after the operation
    // After the calls and after the operation together, one for each number of
    // changes not yet durable that a cut kept.
    size_t powerCuts = 0;
};

// For every point of `points`: arranges, fails that call with `error`, runs
// the operation and checks; then, for an end just before and one just after
// the call, arranges, runs the operation in a child that ends there, and
// checks in the parent; then, for a cut that keeps none of the changes not yet
// durable, one that keeps the first, and so on up to one that keeps them all,
// arranges, runs the operation with the power cut just after the call, and
// checks. Last, one child that ends after the operation and the runs with the
// power cut after it. A replay whose calls before the point differ from the
// recorded ones, a child that did not end at its point, or a cut that did not
// come, is a test failure.
CrashPointCounts ReplayCrashPoints(const std::vector<FileCallPoint>& points,
                                   const CrashScenario& scenario, DWORD error);

// The regular files directly in the native folder, by name, with their bytes.
using FileSet = std::map<std::string, Bytes>;
FileSet FolderFiles(const std::string& nativeFolder);

// Each file of `files` holds what `before` or `after` held under its name (a
// missing file counting as one of the two states), and no other file is there:
// files written one by one, each whole.
bool EachFileOldOrNew(const FileSet& files, const FileSet& before, const FileSet& after);
// What a power cut after the operation must leave: every file of `after` with
// its bytes, and any other file only as `before` held it (a deletion that
// came back whole).
bool WrittenFilesKept(const FileSet& files, const FileSet& before, const FileSet& after);
// " NAME (N bytes) ...", or " no files".
std::string Listing(const FileSet& files);

} // namespace moc_test
