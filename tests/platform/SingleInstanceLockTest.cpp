// The single-instance name across real processes: a second holder is refused while the first
// lives, and the name comes free when the holder gives it up, dies, or starts another program.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/SingleInstanceLock.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempGameFolder.h"

namespace nimbrel {
namespace {

using Result = SingleInstanceLock::Result;

constexpr const char* kHolderVariable = "NIMBREL_TEST_LOCK_HOLDER";

// This program started again as the other process: it takes the name, writes the result's
// number on a line of its own and holds the name until it is ended. It runs before the tests
// would, so the copy runs none of them.
[[maybe_unused]] const bool kRunsAsHolder = [] {
    if (!std::getenv(kHolderVariable)) return false;
    SingleInstanceLock lock;
    std::printf("%d\n", static_cast<int>(lock.acquire()));
    std::fflush(stdout);
    for (;;) ::pause();
}();

// Another process that takes the name and keeps it until told to go (or killed).
class OtherProcess {
public:
    OtherProcess() : process_({"/proc/self/exe"}, options()) {
        if (process_.waitForLine("")) result_ = static_cast<Result>(std::atoi(process_.outputSoFar().c_str()));
    }

    Result result() const { return result_; }
    void kill() {
        process_.signal(SIGKILL);
        process_.wait();
    }

    ~OtherProcess() {
        process_.signal(SIGTERM);
        process_.wait();
    }

private:
    static test::ChildProcess::Options options() {
        test::ChildProcess::Options options;
        options.setEnvironment = {std::string(kHolderVariable) + "=1"};
        options.watchOutput = true;
        return options;
    }

    test::ChildProcess process_;
    Result result_ = Result::Failed;
};

class SingleInstanceLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        if (old) saved_ = old;
        hadOld_ = old != nullptr;
        ::setenv("XDG_RUNTIME_DIR", runtime_.path().c_str(), 1);
    }
    void TearDown() override {
        if (hadOld_)
            ::setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else
            ::unsetenv("XDG_RUNTIME_DIR");
    }

    test::TempGameFolder runtime_;
    std::string saved_;
    bool hadOld_ = false;
};

TEST_F(SingleInstanceLockTest, LockFileIsNamedAfterTheClientNameInTheRuntimeFolder) {
    EXPECT_EQ(SingleInstanceLock::lockPath("quorlan_client"), runtime_.path() + "quorlan_client.lock");
    ::setenv("XDG_RUNTIME_DIR", "", 1);
    EXPECT_TRUE(SingleInstanceLock::lockPath("quorlan_client").ends_with("/quorlan_client.lock"));
    EXPECT_FALSE(SingleInstanceLock::lockPath("quorlan_client").starts_with(runtime_.path()));
}

TEST_F(SingleInstanceLockTest, SecondProcessIsRefusedWhileTheFirstHoldsTheName) {
    SingleInstanceLock mine;
    ASSERT_EQ(mine.acquire(), Result::Acquired);
    OtherProcess other;
    EXPECT_EQ(other.result(), Result::AlreadyExists);
    EXPECT_TRUE(mine.held());  // the first is unaffected
}

TEST_F(SingleInstanceLockTest, NameComesFreeWhenTheHolderClosesReleasesOrDies) {
    {
        OtherProcess holder;
        ASSERT_EQ(holder.result(), Result::Acquired);
        SingleInstanceLock mine;
        EXPECT_EQ(mine.acquire(), Result::AlreadyExists);
        holder.kill();
        EXPECT_EQ(mine.acquire(), Result::Acquired);
        mine.close();
        OtherProcess next;
        EXPECT_EQ(next.result(), Result::Acquired);
    }
    SingleInstanceLock mine;
    ASSERT_EQ(mine.acquire(), Result::Acquired);
    mine.release();
    EXPECT_FALSE(mine.held());
    OtherProcess next;
    EXPECT_EQ(next.result(), Result::Acquired);
}

TEST_F(SingleInstanceLockTest, ProgramsWeStartDoNotInheritTheName) {
    SingleInstanceLock mine;
    ASSERT_EQ(mine.acquire(), Result::Acquired);
    // A program started while we hold the name keeps running after we give it up, as the
    // game client does after the launcher hands over.
    // The spawn returns once the program has been executed.
    test::ChildProcess::Options options;
    options.outputFolder = runtime_.path();
    test::ChildProcess program({"/bin/sleep", "5"}, options);
    ASSERT_TRUE(program.started());
    mine.close();
    OtherProcess next;
    EXPECT_EQ(next.result(), Result::Acquired);
    program.signal(SIGKILL);
}

TEST_F(SingleInstanceLockTest, DifferentNamesDoNotConflict) {
    SingleInstanceLock client;
    SingleInstanceLock other("another_name");
    EXPECT_EQ(client.acquire(), Result::Acquired);
    EXPECT_EQ(other.acquire(), Result::Acquired);
    EXPECT_EQ(client.acquire(), Result::Acquired);  // asking again while holding is no conflict
}

}  // namespace
}  // namespace nimbrel
