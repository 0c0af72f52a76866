#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "app/IniFile.h"
#include "app/TaskPersistence.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

using test::TempDir;

TEST(IniFile, ReadsWhatThePlatformReaderWould) {
    const std::string text =
        "; comment\r\n[VeldmoorTask]\r\nVeldmoorTaskHash = abc \r\n=Game_setup.bin\r\nVeldmoorTaskLink=42xyz\r\n"
        "Quoted=\"with spaces \"\r\n[Other]\r\nVeldmoorTaskHash=other\r\n";
    bool found = false;
    EXPECT_EQ(IniTextRead(text, "veldmoortask", "VELDMOORTASKHASH", &found), "abc");
    EXPECT_TRUE(found);
    EXPECT_EQ(IniTextRead(text, "Other", "VeldmoorTaskHash", &found), "other");
    EXPECT_EQ(IniTextRead(text, "VeldmoorTask", "", &found), "Game_setup.bin");
    EXPECT_EQ(IniTextRead(text, "VeldmoorTask", "Quoted", &found), "with spaces ");
    IniTextRead(text, "VeldmoorTask", "Missing", &found);
    EXPECT_FALSE(found);

    TempDir dir;
    const std::string path = dir.File("task.vmconf");
    std::ofstream(path) << text;
    EXPECT_EQ(IniReadInteger(path, "VeldmoorTask", "VeldmoorTaskLink", 7), 42);   // leading digits
    EXPECT_EQ(IniReadInteger(path, "VeldmoorTask", "VeldmoorTaskHash", 7), 0);    // no digits
    EXPECT_EQ(IniReadInteger(path, "VeldmoorTask", "Missing", 7), 7);
    EXPECT_EQ(IniReadString(dir.File("none.ini"), "A", "B", "fallback"), "fallback");
}

TEST(IniFile, WritesCreateFileAndSectionAndReplaceOneKey) {
    TempDir dir;
    const std::string path = dir.File("sub/task.vmconf");
    platform::CreateDirectories(dir.File("sub"));
    ASSERT_TRUE(IniWriteString(path, "VeldmoorTask", "VeldmoorTaskHash", "h1"));
    ASSERT_TRUE(IniWriteString(path, "VeldmoorFinishInfo", "VeldmoorTask0FileSizeLow", "12"));
    ASSERT_TRUE(IniWriteString(path, "VeldmoorTask", "VeldmoorTaskHash", "h2"));
    ASSERT_TRUE(IniWriteString(path, "VeldmoorTask", "VeldmoorTaskSavePath", "/x"));
    EXPECT_EQ(IniReadString(path, "VeldmoorTask", "VeldmoorTaskHash"), "h2");
    EXPECT_EQ(IniReadString(path, "VeldmoorTask", "VeldmoorTaskSavePath"), "/x");
    EXPECT_EQ(IniReadString(path, "VeldmoorFinishInfo", "VeldmoorTask0FileSizeLow"), "12");
    const std::string text = platform::ReadWholeFile(path).value_or("");
    EXPECT_EQ(text.find("h1"), std::string::npos);
    EXPECT_EQ(text.find("[VeldmoorTask]"), text.rfind("[VeldmoorTask]")) << "one section, not two";
}

// A writer killed at any moment leaves either the old or the new copy, never a
// torn or empty file.
TEST(IniFile, KilledWriterNeverLosesThePreviousCopy) {
    TempDir dir;
    const std::string path = dir.File("task.vmconf");
    ASSERT_TRUE(IniWriteString(path, "VeldmoorTask", "VeldmoorTaskHash", "first"));
    const std::string padding(20000, 'p');  // big enough that a write takes several system calls
    for (int round = 0; round < 20; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (unsigned i = 0;; ++i) {
                IniWriteValues(path, "VeldmoorTask",
                               {{"VeldmoorTaskDownloadTime", std::to_string(i)}, {"Padding", padding}});
            }
        }
        ::usleep(static_cast<useconds_t>(2000 + round * 700));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_EQ(IniReadString(path, "VeldmoorTask", "VeldmoorTaskHash"), "first") << "round " << round;
        const std::string written = IniReadString(path, "VeldmoorTask", "Padding");
        EXPECT_TRUE(written.empty() || written == padding) << "round " << round;
    }
}

TEST(TaskPersistence, FinishRecordProvesTheFileUntouched) {
    TempDir dir;
    const TaskPersistence file(dir.File("t.vmconf"));
    const std::string target = dir.File("setup.bin");
    EXPECT_FALSE(file.FinishRecordMatches(0, target)) << "no file";
    file.WriteFinishRecord(0, target);
    EXPECT_FALSE(file.Exists()) << "nothing written for a missing target";

    std::ofstream(target) << "installer bytes";
    file.WriteFinishRecord(0, target);
    EXPECT_TRUE(file.FinishRecordMatches(0, target));
    EXPECT_FALSE(file.FinishRecordMatches(1, target)) << "another task's record is missing";

    std::ofstream(target, std::ios::app) << "!";  // size and time change
    EXPECT_FALSE(file.FinishRecordMatches(0, target));
    file.WriteFinishRecord(0, target);
    EXPECT_TRUE(file.FinishRecordMatches(0, target));
    EXPECT_EQ(IniReadString(file.Path(), "VeldmoorFinishInfo", "VeldmoorTask0FileSizeLow"), "16");
    EXPECT_EQ(IniReadString(file.Path(), "VeldmoorFinishInfo", "VeldmoorTask0FileSizeHigh"), "0");
}

TEST(TaskPersistence, LinkFileLimitIsKeptOnlyInItsRange) {
    TempDir dir;
    const std::string link = dir.File("VeldmoorTaskLink.ini");
    EXPECT_EQ(ReadLinkConnectionLimit(link), 35) << "missing file";
    const struct {
        const char* value;
        int limit;
    } cases[] = {{"9", 35}, {"10", 10}, {"120", 120}, {"200", 200}, {"201", 35}, {"-5", 35}, {"abc", 35}};
    for (const auto& c : cases) {
        IniWriteString(link, "VeldmoorTask", "VeldmoorTaskLink", c.value);
        EXPECT_EQ(ReadLinkConnectionLimit(link), c.limit) << c.value;
    }
}

TEST(TaskPersistence, CloseSelectionNeedsATaskFile) {
    TempDir dir;
    const TaskPersistence file(dir.File("t.vmconf"));
    EXPECT_EQ(file.ReadCloseSelection(), -1);
    file.WriteCloseSelection(2);
    EXPECT_EQ(file.ReadCloseSelection(), 2);
    TaskPersistence().WriteCloseSelection(1);  // no path: nothing happens
}

TEST(TaskPersistence, DownloadSecondsSurviveAHeaderWrite) {
    TempDir dir;
    const TaskPersistence file(dir.File("t.vmconf"));
    file.WriteDownloadTime(41);
    TaskHeader header;
    header.taskHash = "hash";
    header.createTime = "2026-01-01 10:00:00";
    header.writeSource = true;
    header.httpUrl = "http://host/setup.bin";
    header.fileName = "setup.bin";
    header.entrance = "setup.bin";
    file.WriteHeader(header);
    EXPECT_EQ(file.ReadDownloadTime(), 41u);
    EXPECT_EQ(IniReadString(file.Path(), "VeldmoorTask", ""), "setup.bin");
    EXPECT_EQ(IniReadString(file.Path(), "VeldmoorTask", "VeldmoorTaskFloder"), "EH1115");
}

}  // namespace
}  // namespace veldmoor
