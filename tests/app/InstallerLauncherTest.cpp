// Starting the downloaded installer: a checked native program gets its
// execute bit and runs directly, an unchecked one is never made executable,
// anything else goes to the desktop's opener, and each failure has its own
// outcome for the user.
#include "app/InstallerLauncher.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Files.h"
#include "tests/support/Infrastructure.h"
#include "tests/support/TestSupport.h"

namespace veldmoor::test {
namespace {

class InstallerLaunch : public ::testing::Test {
protected:
    void SetUp() override {
        const char* path = std::getenv("PATH");
        oldPath_ = path != nullptr ? path : "/usr/bin:/bin";
        std::filesystem::create_directories(dir_.File("bin"));
    }
    void TearDown() override { ::setenv("PATH", oldPath_.c_str(), 1); }

    std::string Write(const std::string& name, const std::string& content, mode_t mode) {
        const std::string path = dir_.File(name);
        std::ofstream(path, std::ios::binary) << content;
        ::chmod(path.c_str(), mode);
        return path;
    }
    // A script that leaves `marker` with its working folder when it runs.
    std::string Installer(const std::string& name, mode_t mode) {
        return Write(name, "#!/bin/sh\npwd > '" + Marker() + "'\n", mode);
    }
    std::string Marker() const { return dir_.File("ran"); }
    bool Ran() const {
        return WaitUntil([&] { return platform::ReadWholeFile(Marker()).value_or("") == dir_.Path() + "\n"; });
    }
    // The desktop's opener, as PATH offers it: `exitStatus` after recording its argument.
    void DesktopOpener(int exitStatus) {
        Write("bin/xdg-open", "#!/bin/sh\necho \"$1\" > '" + dir_.File("opened") + "'\nexit " +
                                  std::to_string(exitStatus) + "\n", 0755);
        ::setenv("PATH", (dir_.File("bin") + ":" + oldPath_).c_str(), 1);
    }
    // A desktop without xdg-open at all.
    void NoDesktopOpener() { ::setenv("PATH", dir_.File("bin").c_str(), 1); }

    TempDir dir_;
    std::string oldPath_;
};

bool OwnerMayExecute(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IXUSR) != 0;
}

TEST_F(InstallerLaunch, CheckedNativeInstallerWithoutExecuteBitIsMarkedAndRun) {
    NoDesktopOpener();  // the native path never needs the opener
    const std::string installer = Installer("setup.bin", 0644);
    const LaunchResult result = LaunchInstaller(installer, dir_.Path(), true);
    EXPECT_EQ(result.outcome, LaunchOutcome::kStarted);
    EXPECT_TRUE(Ran()) << "the installer runs in the working folder";
    struct stat info {};
    ASSERT_EQ(::stat(installer.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0744u) << "only the owner's execute bit is added";

    // An ELF program is native too: the execute bit and a direct run.
    std::filesystem::copy_file("/bin/true", dir_.File("setup.AppImage"));
    ::chmod(dir_.File("setup.AppImage").c_str(), 0600);
    EXPECT_EQ(LaunchInstaller(dir_.File("setup.AppImage"), dir_.Path(), true).outcome, LaunchOutcome::kStarted);
    EXPECT_TRUE(OwnerMayExecute(dir_.File("setup.AppImage")));
}

TEST_F(InstallerLaunch, UncheckedInstallerIsNeverMadeExecutable) {
    DesktopOpener(0);
    const std::string installer = Installer("setup.bin", 0644);
    const LaunchResult result = LaunchInstaller(installer, dir_.Path(), false);
    EXPECT_EQ(result.outcome, LaunchOutcome::kUncheckedNotExecutable);
    EXPECT_FALSE(OwnerMayExecute(installer));
    EXPECT_FALSE(platform::FileExists(dir_.File("opened"))) << "a script is not handed to the opener either";

    // One the user made executable themselves runs unchecked.
    ::chmod(installer.c_str(), 0755);
    EXPECT_EQ(LaunchInstaller(installer, dir_.Path(), false).outcome, LaunchOutcome::kStarted);
    EXPECT_TRUE(Ran());
}

TEST_F(InstallerLaunch, NativeFilesThisSystemCannotRun) {
    NoDesktopOpener();
    const struct {
        const char* name;
        std::string content;
    } cases[] = {
        {"broken-elf", std::string("\x7f" "ELF garbage", 12)},
        {"missing-interpreter", "#!/nonexistent/interpreter\n"},
    };
    for (const auto& c : cases) {
        const LaunchResult result = LaunchInstaller(Write(c.name, c.content, 0644), dir_.Path(), true);
        EXPECT_EQ(result.outcome, LaunchOutcome::kNotRunnableHere) << c.name;
        EXPECT_LE(result.code, 32) << c.name;
    }
}

TEST_F(InstallerLaunch, InstallerStillOpenForWritingIsInUse) {
    const std::string installer = Installer("setup.bin", 0755);
    std::ofstream writer(installer, std::ios::app);
    EXPECT_EQ(LaunchInstaller(installer, dir_.Path(), true).outcome, LaunchOutcome::kInUse);
    writer.close();
    EXPECT_EQ(LaunchInstaller(installer, dir_.Path(), true).outcome, LaunchOutcome::kStarted);
    EXPECT_TRUE(Ran());
}

TEST_F(InstallerLaunch, OtherFilesGoToTheDesktopsOpener) {
    const std::string windowsInstaller = Write("Setup.exe", "MZ, a Windows program", 0644);
    const std::string archive = Write("setup.zip", "PK\3\4", 0644);

    DesktopOpener(0);
    EXPECT_EQ(LaunchInstaller(windowsInstaller, dir_.Path(), true).outcome, LaunchOutcome::kStarted);
    EXPECT_EQ(platform::ReadWholeFile(dir_.File("opened")).value_or(""), windowsInstaller + "\n");
    EXPECT_FALSE(OwnerMayExecute(windowsInstaller)) << "only native programs get the execute bit";

    // Nothing on this desktop opens them: xdg-open says so, or is not there.
    for (const bool openerInstalled : {true, false}) {
        if (openerInstalled)
            DesktopOpener(3);
        else
            NoDesktopOpener();
        EXPECT_EQ(LaunchInstaller(windowsInstaller, dir_.Path(), true).outcome,
                  LaunchOutcome::kNoHandlerForWindowsProgram);
        EXPECT_EQ(LaunchInstaller(archive, dir_.Path(), true).outcome, LaunchOutcome::kNoHandler);
    }
    EXPECT_EQ(LaunchInstaller(dir_.File("gone.exe"), dir_.Path(), true).outcome, LaunchOutcome::kMissing);
}

TEST_F(InstallerLaunch, DiskThatRefusesPrograms) {
    VELDMOOR_REQUIRE_ROOT("mounting a noexec tmpfs");
    const std::string folder = dir_.File("noexec");
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOEXEC, "size=1m"), 0);
    std::ofstream(folder + "/setup.bin") << "#!/bin/sh\ntrue\n";
    const LaunchResult result = LaunchInstaller(folder + "/setup.bin", folder, true);
    ::umount2(folder.c_str(), MNT_DETACH);
    EXPECT_EQ(result.outcome, LaunchOutcome::kRunRefused);
}

TEST(InstallerLaunchTexts, EveryFailureTellsWhatToDo) {
    for (const LaunchOutcome outcome :
         {LaunchOutcome::kMissing, LaunchOutcome::kUncheckedNotExecutable, LaunchOutcome::kCannotMarkExecutable,
          LaunchOutcome::kRunRefused, LaunchOutcome::kInUse, LaunchOutcome::kNotRunnableHere, LaunchOutcome::kNoHandlerForWindowsProgram,
          LaunchOutcome::kNoHandler, LaunchOutcome::kFailed}) {
        const std::string text = SourceText(LaunchOutcomeText(outcome));
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find("0x"), std::string::npos) << text;
        EXPECT_EQ(text.find("application associated"), std::string::npos) << text;
    }
    EXPECT_NE(std::string(SourceText(LaunchOutcomeText(LaunchOutcome::kNoHandlerForWindowsProgram))).find(".exe"),
              std::string::npos);
}

}  // namespace
}  // namespace veldmoor::test
