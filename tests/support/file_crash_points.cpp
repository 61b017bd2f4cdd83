#include "support/file_crash_points.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace moc_test {
namespace {

// Exit statuses of a child: it ended at its point, or ran to the end without
// meeting it.
constexpr int kEndedAtPoint = 86;
constexpr int kPointNotMet = 87;

std::string Describe(const FileCallPoint& point, CrashKind kind) {
    const char* how = kind == CrashKind::Failure     ? "failure of"
                      : kind == CrashKind::EndBefore ? "end before"
                      : kind == CrashKind::EndAfter  ? "end after"
                                                     : "power cut after";
    return std::string(how) + " " + point.function + " #" + std::to_string(point.ordinal) +
           " (call " + std::to_string(point.index + 1) + ")";
}

std::vector<std::string> FunctionsOf(const std::vector<FileCallPoint>& points) {
    std::vector<std::string> names;
    for (const FileCallPoint& p : points)
        names.push_back(p.function);
    return names;
}

// Only the same calls up to the point show that the replay met that call.
void ExpectSameCallsUpTo(const std::vector<std::string>& recorded,
                         const std::vector<std::string>& replayed, const FileCallPoint& point,
                         const std::string& where) {
    const auto prefix = static_cast<std::ptrdiff_t>(point.index + 1);
    EXPECT_TRUE(replayed.size() >= point.index + 1 &&
                std::equal(recorded.begin(), recorded.begin() + prefix, replayed.begin()))
        << where << ": the replay made other file calls before its point";
}

void ReplayFailure(const std::vector<std::string>& recorded, const FileCallPoint& point,
                   const CrashScenario& scenario, DWORD error) {
    const std::string where = Describe(point, CrashKind::Failure);
    scenario.arrange();
    platform::test::StartFileCallJournal();
    platform::test::FailFileCallAt(point.function.c_str(), point.ordinal, error);
    scenario.operate();
    platform::test::FailFileCallAt(point.function.c_str(), 0, 0);
    ExpectSameCallsUpTo(recorded, platform::test::StopFileCallJournal(), point, where);
    scenario.check(where, CrashKind::Failure);
}

// In this process: no fork is needed, as the disk model keeps only what a cut
// would, and every later file call fails as on a machine without power. The
// disk may have written back any number of the changes it had not made
// durable, in the order made: each number, from none to all, is a replay of
// its own. Returns how many were replayed.
size_t ReplayPowerCuts(const std::vector<std::string>& recorded, const FileCallPoint* point,
                       const CrashScenario& scenario) {
    size_t undurable = 0;
    size_t kept = 0;
    for (; kept <= undurable && !::testing::Test::HasFatalFailure(); ++kept) {
        scenario.arrange();
        platform::test::StartFileCallJournal();
        if (point != nullptr)
            platform::test::CutPowerAfterFileCall(point->function.c_str(), point->ordinal, kept);
        else
            platform::test::StartDiskCache();
        scenario.operate();
        if (point == nullptr)
            platform::test::CutPowerNow(kept);
        platform::test::CutPowerAfterFileCall(nullptr, 0);
        const std::vector<std::string> replayed = platform::test::StopFileCallJournal();
        size_t found = 0;
        const bool cut = platform::test::RestorePower(&found);
        if (kept == 0)
            undurable = found;
        const std::string where =
            (point != nullptr ? Describe(*point, CrashKind::PowerCut)
                              : std::string("power cut after the operation")) +
            ", keeping " + std::to_string(kept) + " of " + std::to_string(undurable) +
            " changes not yet durable";
        EXPECT_TRUE(cut) << where << ": the power was never cut";
        EXPECT_EQ(found, undurable) << where << ": the replay left other changes undurable";
        if (point != nullptr)
            ExpectSameCallsUpTo(recorded, replayed, *point, where);
        scenario.check(where, point != nullptr ? CrashKind::PowerCut : CrashKind::PowerCutAtEnd);
    }
    return kept;
}

// An end at `point`, or with none, just after the operation returned.
void ReplayEnd(const FileCallPoint* point, CrashKind kind, const CrashScenario& scenario) {
    const std::string where = point != nullptr ? Describe(*point, kind) : "end after the operation";
    scenario.arrange();
    // Nothing buffered may be written twice, once by each process.
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0) << where << ": fork failed";
    if (child == 0) {
        if (point != nullptr)
            platform::test::EndProcessAtFileCall(point->function.c_str(), point->ordinal,
                                                 kind == CrashKind::EndBefore
                                                     ? platform::test::FileCallEnd::Before
                                                     : platform::test::FileCallEnd::After,
                                                 kEndedAtPoint);
        scenario.operate();
        _exit(point != nullptr ? kPointNotMet : kEndedAtPoint);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child) << where;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == kEndedAtPoint)
        << where << ": the child did not end at its point (status " << status << ")";
    scenario.check(where, kind);
}

} // namespace

std::vector<FileCallPoint> RecordFileCalls(const std::function<void()>& operation) {
    platform::test::StartFileCallJournal();
    operation();
    const std::vector<std::string> journal = platform::test::StopFileCallJournal();
    std::vector<FileCallPoint> points;
    std::map<std::string, int> seen;
    for (size_t i = 0; i < journal.size(); ++i)
        points.push_back(FileCallPoint{journal[i], ++seen[journal[i]], i});
    return points;
}

CrashPointCounts ReplayCrashPoints(const std::vector<FileCallPoint>& points,
                                   const CrashScenario& scenario, DWORD error) {
    const std::vector<std::string> recorded = FunctionsOf(points);
    CrashPointCounts counts;
    for (const FileCallPoint& point : points) {
        ++counts.points;
        ReplayFailure(recorded, point, scenario, error);
        ++counts.failures;
        for (CrashKind kind : {CrashKind::EndBefore, CrashKind::EndAfter}) {
            ReplayEnd(&point, kind, scenario);
            ++counts.ends;
        }
        counts.powerCuts += ReplayPowerCuts(recorded, &point, scenario);
        if (::testing::Test::HasFatalFailure())
            return counts;
    }
    ReplayEnd(nullptr, CrashKind::EndAtEnd, scenario);
    ++counts.ends;
    counts.powerCuts += ReplayPowerCuts(recorded, nullptr, scenario);
    return counts;
}

FileSet FolderFiles(const std::string& nativeFolder) {
    FileSet files;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(nativeFolder, ec)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        files[entry.path().filename().string()] =
            Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
}

namespace {

const Bytes* Find(const FileSet& files, const std::string& name) {
    auto it = files.find(name);
    return it == files.end() ? nullptr : &it->second;
}

bool SameState(const Bytes* a, const Bytes* b) {
    return a == nullptr || b == nullptr ? a == b : *a == *b;
}

} // namespace

bool EachFileOldOrNew(const FileSet& files, const FileSet& before, const FileSet& after) {
    std::set<std::string> names;
    for (const FileSet* set : {&files, &before, &after})
        for (const auto& entry : *set)
            names.insert(entry.first);
    for (const std::string& name : names) {
        const Bytes* now = Find(files, name);
        if (!SameState(now, Find(before, name)) && !SameState(now, Find(after, name)))
            return false;
    }
    return true;
}

bool WrittenFilesKept(const FileSet& files, const FileSet& before, const FileSet& after) {
    for (const auto& [name, bytes] : after)
        if (!SameState(Find(files, name), &bytes))
            return false;
    for (const auto& [name, bytes] : files)
        if (after.count(name) == 0 && !SameState(&bytes, Find(before, name)))
            return false;
    return true;
}

std::string Listing(const FileSet& files) {
    std::string out;
    for (const auto& [name, bytes] : files)
        out += " " + name + " (" + std::to_string(bytes.size()) + " bytes)";
    return out.empty() ? " no files" : out;
}

} // namespace moc_test
