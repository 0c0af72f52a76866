#include <gtest/gtest.h>

#include <regex>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

// Runs the crashing child in `folder`; the signal that ended it, or 0.
int RunCrashingChild(const std::string& folder, const char* how) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(VELDMOOR_CRASH_CHILD_PATH, VELDMOOR_CRASH_CHILD_PATH, folder.c_str(), how, static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

std::vector<std::string> DumpFiles(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

TEST(CrashDumpTest, NullDereferenceLeavesANamedDumpWithABacktrace) {
    test::TempDir folder;
    EXPECT_EQ(RunCrashingChild(folder.Path(), "segv"), SIGSEGV) << "the process still ends by its signal";

    const auto names = DumpFiles(folder.Path());
    ASSERT_EQ(names.size(), 1u);
    // Local year, month, day, hour, minute, second, millisecond, random 0-99.
    EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(\d{4}(-\d{2}){5}-\d{2,3}-\d{2}\.dmp)"))) << names[0];
    const std::string dump = platform::ReadWholeFile(folder.File(names[0])).value_or("");
    EXPECT_NE(dump.find("signal: 11 (SIGSEGV)"), std::string::npos) << dump;
    EXPECT_NE(dump.find("address: 0x0000000000000000"), std::string::npos);
    EXPECT_TRUE(std::regex_search(dump, std::regex(R"(thread: [1-9]\d*)")));
    EXPECT_NE(dump.find("VeldmoorCrashByNullPointer"), std::string::npos) << "a readable backtrace:\n" << dump;
    EXPECT_NE(dump.find("loaded modules:"), std::string::npos);
    EXPECT_NE(dump.find("libc.so"), std::string::npos) << "the module list comes from the process's maps";
}

TEST(CrashDumpTest, AbortIsDumpedToo) {
    test::TempDir folder;
    EXPECT_EQ(RunCrashingChild(folder.Path(), "abort"), SIGABRT);
    const auto names = DumpFiles(folder.Path());
    ASSERT_EQ(names.size(), 1u);
    EXPECT_NE(platform::ReadWholeFile(folder.File(names[0])).value_or("").find("(SIGABRT)"), std::string::npos);
}

}  // namespace
}  // namespace veldmoor
