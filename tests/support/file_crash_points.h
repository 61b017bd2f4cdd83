// Crash points of an operation that writes files: the file calls one clean
// run of it makes, each replayed as a failure of that call and as an abrupt
// end of a forked child just before and just after it. The points come from
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
};

// An operation with the test's parts around it.
struct CrashScenario {
    // Brings files, chip and adapter to the state before the operation.
    std::function<void()> arrange;
    // The operation. For the ends it runs in a child made with fork(): the
    // child inherits the simulated sensor, the adapter contexts and the files,
    // and what it changes in memory (the chip's template table among it) dies
    // with it. The parent therefore keeps the chip as it was before the
    // operation, and only the files show what the child did.
    std::function<void()> operate;
    // Asserts on the state the point left; `where` names the point.
    std::function<void(const std::string& where, CrashKind kind)> check;
};

struct CrashPointCounts {
    size_t points = 0;
    size_t failures = 0; // failures replayed
    size_t ends = 0;     // children ended, before and after the calls together
};

// For every point of `points`: arranges, fails that call with `error`, runs
// the operation and checks; then, for an end just before and one just after
// the call, arranges, runs the operation in a child that ends there, and
// checks in the parent. A replay whose calls before the point differ from the
// recorded ones, or a child that did not end at its point, is a test failure.
CrashPointCounts ReplayCrashPoints(const std::vector<FileCallPoint>& points,
                                   const CrashScenario& scenario, DWORD error);

// The regular files directly in the native folder, by name, with their bytes.
std::map<std::string, Bytes> FolderFiles(const std::string& nativeFolder);

} // namespace moc_test
