// The lock that keeps one holder on the simulated sensor of a root: against another
// holder in this process and in another, for a bounded wait, and gone with its process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include "simsensor/root_lock.h"
#include "support/temp_root.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

class RootLockTest : public ::testing::Test {
protected:
    moc_test::TempRoot folder;
    const std::string root = folder.Folder();
};

TEST_F(RootLockTest, ASecondHolderWaitsItsTimeThenMeetsASharingViolation) {
    simsensor::RootLock first, second, elsewhere;
    std::string why;
    ASSERT_EQ(first.Take(root, milliseconds(0), &why), 0u) << why;
    const auto start = steady_clock::now();
    EXPECT_EQ(second.Take(root, milliseconds(200), &why),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    const auto waited = steady_clock::now() - start;
    EXPECT_GE(waited, milliseconds(200));
    EXPECT_LT(waited, milliseconds(5000));
    EXPECT_FALSE(second.Held());
    // Another root is another sensor.
    std::filesystem::create_directories(root + "/other");
    EXPECT_EQ(elsewhere.Take(root + "/other", milliseconds(0), &why), 0u) << why;

    // A holder that lets go during the wait hands the sensor over.
    std::thread release([&] {
        std::this_thread::sleep_for(milliseconds(100));
        first.Release();
    });
    EXPECT_EQ(second.Take(root, milliseconds(5000), &why), 0u) << why;
    release.join();
    EXPECT_TRUE(second.Held());
}

TEST_F(RootLockTest, TheLockHoldsAgainstAnotherProcessAndGoesWithIt) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        simsensor::RootLock lock;
        std::string why;
        char held = lock.Take(root, milliseconds(0), &why) == 0 ? 'y' : 'n';
        (void)!::write(ready[1], &held, 1);
        // Killed while it holds the lock; it never lets go itself.
        ::pause();
        ::_exit(0);
    }
    char held = 0;
    ASSERT_EQ(::read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');
    simsensor::RootLock lock;
    std::string why;
    EXPECT_EQ(lock.Take(root, milliseconds(100), &why),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(lock.Take(root, milliseconds(0), &why), 0u) << why;
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST_F(RootLockTest, ARootThatIsNoFolderIsNoSharingViolation) {
    std::ofstream(root + "/file") << "x";
    struct Case {
        std::string root;
        DWORD error;
    } cases[] = {
        {root + "/missing", ERROR_PATH_NOT_FOUND},
        {root + "/file", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        simsensor::RootLock lock;
        std::string why;
        EXPECT_EQ(lock.Take(c.root, milliseconds(0), &why), c.error) << c.root;
        EXPECT_NE(why.find(c.root), std::string::npos) << why;
        EXPECT_FALSE(lock.Held());
    }
}

} // namespace
