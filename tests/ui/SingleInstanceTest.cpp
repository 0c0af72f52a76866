// The single-instance rule between real processes of the desktop program:
// a second start raises the first and ends; a killed first copy's leftovers
// do not block; a first copy that does not answer is asked to stop and ended
// only when it does not; a lock held by another program is never touched.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <fstream>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/SingleInstanceLock.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace veldmoor::test {
namespace {

class Program {
public:
    Program(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment,
            const std::string& logPath)
        : log_(logPath) {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry) environment.emplace_back(*entry);
        for (const std::string& entry : extraEnvironment) environment.push_back(entry);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Program() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            Wait(std::chrono::seconds(5));
        }
    }

    int Pid() const { return pid_; }
    // The wait status once it ended within `limit`.
    std::optional<int> Wait(std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!status_) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                break;
            }
            if (std::chrono::steady_clock::now() >= deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return status_;
    }
    std::string Output() const {
        std::ifstream file(log_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }
    bool WaitForOutput(const std::string& needle, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        return WaitUntil([&] { return Output().find(needle) != std::string::npos; }, limit);
    }

private:
    pid_t pid_ = -1;
    std::string log_;
    std::optional<int> status_;
};

class SingleInstance : public ::testing::Test {
protected:
    void SetUp() override { ::mkdir(Runtime().c_str(), 0700); }
    std::string Runtime() const { return dir_.File("runtime"); }
    std::string LockPath() const {
        // The MD5 text of the probe's installer names the lock.
        return Runtime() + "/veldmoor-" + std::string(kProbeMd5) + ".lock";
    }
    std::unique_ptr<Program> Start(const std::string& name, const std::string& mode = "") {
        return std::make_unique<Program>(
            std::vector<std::string>{VELDMOOR_PROBE_PATH},
            std::vector<std::string>{"QT_QPA_PLATFORM=offscreen", "VELDMOOR_PROBE_ROOT=" + dir_.File("root"),
                                     "VELDMOOR_PROBE_RUNTIME=" + Runtime(), "VELDMOOR_PROBE_MODE=" + mode},
            dir_.File(name + ".log"));
    }
    static bool Exited(const std::optional<int>& status, int code) {
        return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
    }

    // MD5 of "probe installer".
    static constexpr const char* kProbeMd5 = "2b2b36385a50f243607e37905fe72ece";
    TempDir dir_;
};

TEST_F(SingleInstance, SecondStartBringsTheFirstToTheFrontAndEnds) {
    auto first = Start("first");
    ASSERT_TRUE(first->WaitForOutput("probe: window ready")) << first->Output();
    auto second = Start("second");
    EXPECT_TRUE(Exited(second->Wait(std::chrono::seconds(10)), 0)) << second->Output();
    EXPECT_TRUE(first->WaitForOutput("a second start asked for the window")) << first->Output();
    EXPECT_FALSE(first->Wait(std::chrono::milliseconds(200))) << "the first copy goes on";
    // A stop signal ends the first copy the orderly way.
    ::kill(first->Pid(), SIGTERM);
    EXPECT_TRUE(Exited(first->Wait(std::chrono::seconds(10)), 0)) << first->Output();
}

TEST_F(SingleInstance, LeftoversOfAKilledCopyDoNotBlockTheNextStart) {
    auto first = Start("first");
    ASSERT_TRUE(first->WaitForOutput("probe: window ready")) << first->Output();
    ::kill(first->Pid(), SIGKILL);
    first->Wait(std::chrono::seconds(5));
    auto next = Start("next");
    ASSERT_TRUE(next->WaitForOutput("probe: window ready")) << next->Output();
    EXPECT_EQ(platform::FindLockHolder(LockPath()), next->Pid());
    // And it answers the start after it.
    auto third = Start("third");
    EXPECT_TRUE(Exited(third->Wait(std::chrono::seconds(10)), 0)) << third->Output();
}

TEST_F(SingleInstance, HungFirstCopyIsAskedToStopThenEnded) {
    auto hung = Start("hung", "hung");
    ASSERT_TRUE(hung->WaitForOutput("probe: window ready")) << hung->Output();
    auto next = Start("next");
    ASSERT_TRUE(next->WaitForOutput("probe: window ready", std::chrono::seconds(20))) << next->Output();
    EXPECT_NE(next->Output().find("did not stop when asked and was ended"), std::string::npos) << next->Output();
    const std::optional<int> status = hung->Wait(std::chrono::seconds(5));
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL);
    EXPECT_EQ(platform::FindLockHolder(LockPath()), next->Pid());
}

TEST_F(SingleInstance, SlowFirstCopyThatStopsWhenAskedIsNotKilled) {
    auto slow = Start("slow", "slow");
    ASSERT_TRUE(slow->WaitForOutput("probe: window ready")) << slow->Output();
    auto next = Start("next");
    ASSERT_TRUE(next->WaitForOutput("probe: window ready", std::chrono::seconds(20))) << next->Output();
    EXPECT_NE(next->Output().find("it stopped when asked"), std::string::npos) << next->Output();
    EXPECT_TRUE(Exited(slow->Wait(std::chrono::seconds(5)), 0));
}

TEST_F(SingleInstance, LockHeldByAnotherProgramIsLeftAlone) {
    VELDMOOR_REQUIRE_STARTED(::access("/usr/bin/flock", X_OK) == 0, "flock(1)");
    Program holder({"/usr/bin/flock", LockPath(), "sleep", "30"}, {}, dir_.File("holder.log"));
    ASSERT_TRUE(WaitUntil([&] { return platform::FindLockHolder(LockPath()) != 0; }));
    auto next = Start("next");
    EXPECT_TRUE(Exited(next->Wait(std::chrono::seconds(15)), 1)) << next->Output();
    EXPECT_NE(next->Output().find("held by another program"), std::string::npos) << next->Output();
    EXPECT_FALSE(holder.Wait(std::chrono::milliseconds(100))) << "the other program keeps running";
}

}  // namespace
}  // namespace veldmoor::test
