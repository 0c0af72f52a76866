#include <gtest/gtest.h>

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

// "YYYY-MM-DD-hh-mm-ss-ms-rr.dmp": local time with milliseconds (at least two
// digits) and a random number below 100.
bool IsDumpName(const std::string& name) {
    const auto digits = [&](size_t from, size_t count) {
        if (from + count > name.size()) return false;
        for (size_t i = from; i < from + count; ++i)
            if (name[i] < '0' || name[i] > '9') return false;
        return true;
    };
    if (!digits(0, 4)) return false;
    size_t at = 4;
    for (int part = 0; part < 5; ++part, at += 3)
        if (name[at] != '-' || !digits(at + 1, 2)) return false;
    if (name[at] != '-') return false;
    const size_t msLength = name.find('-', at + 1) - at - 1;
    if ((msLength != 2 && msLength != 3) || !digits(at + 1, msLength)) return false;
    at += 1 + msLength;
    return name.size() == at + 7 && name[at] == '-' && digits(at + 1, 2) && name.compare(at + 3, 4, ".dmp") == 0;
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
    EXPECT_TRUE(IsDumpName(names[0])) << names[0];
    const std::string dump = platform::ReadWholeFile(folder.File(names[0])).value_or("");
    EXPECT_NE(dump.find("signal: 11 (SIGSEGV)"), std::string::npos) << dump;
    EXPECT_NE(dump.find("address: 0x0000000000000000"), std::string::npos);
    const size_t thread = dump.find("thread: ");
    ASSERT_NE(thread, std::string::npos);
    EXPECT_TRUE(dump[thread + 8] >= '1' && dump[thread + 8] <= '9') << dump.substr(thread, 20);
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
