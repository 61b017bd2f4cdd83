#include "support/file_crash_points.h"

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include <iterator>
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
                                                     : "end after";
    return std::string(how) + " " + point.function + " #" + std::to_string(point.ordinal) +
           " (call " + std::to_string(point.index + 1) + ")";
}

std::vector<std::string> FunctionsOf(const std::vector<FileCallPoint>& points) {
    std::vector<std::string> names;
    for (const FileCallPoint& p : points)
        names.push_back(p.function);
    return names;
}

void ReplayFailure(const std::vector<std::string>& recorded, const FileCallPoint& point,
                   const CrashScenario& scenario, DWORD error) {
    const std::string where = Describe(point, CrashKind::Failure);
    scenario.arrange();
    platform::test::StartFileCallJournal();
    platform::test::FailFileCallAt(point.function.c_str(), point.ordinal, error);
    scenario.operate();
    platform::test::FailFileCallAt(point.function.c_str(), 0, 0);
    const std::vector<std::string> replayed = platform::test::StopFileCallJournal();
    // Only the same calls up to the point show that the failure met that call.
    const auto prefix = static_cast<std::ptrdiff_t>(point.index + 1);
    EXPECT_TRUE(replayed.size() >= point.index + 1 &&
                std::equal(recorded.begin(), recorded.begin() + prefix, replayed.begin()))
        << where << ": the replay made other file calls before its point";
    scenario.check(where, CrashKind::Failure);
}

void ReplayEnd(const FileCallPoint& point, CrashKind kind, const CrashScenario& scenario) {
    const std::string where = Describe(point, kind);
    scenario.arrange();
    // Nothing buffered may be written twice, once by each process.
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0) << where << ": fork failed";
    if (child == 0) {
        platform::test::EndProcessAtFileCall(point.function.c_str(), point.ordinal,
                                             kind == CrashKind::EndBefore
                                                 ? platform::test::FileCallEnd::Before
                                                 : platform::test::FileCallEnd::After,
                                             kEndedAtPoint);
        scenario.operate();
        _exit(kPointNotMet);
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
            ReplayEnd(point, kind, scenario);
            ++counts.ends;
        }
        if (::testing::Test::HasFatalFailure())
            break;
    }
    return counts;
}

std::map<std::string, Bytes> FolderFiles(const std::string& nativeFolder) {
    std::map<std::string, Bytes> files;
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

} // namespace moc_test
