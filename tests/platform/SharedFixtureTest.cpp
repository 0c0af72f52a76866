#include "tests/support/SharedFixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Files.h"
#include "platform/SingleInstanceLock.h"

namespace veldmoor::test {
namespace {

class SharedFixtureTest : public ::testing::Test {
protected:
    void TearDown() override {
        std::error_code error;
        if (path_.empty()) return;
        for (const char* suffix : {"", ".stamp", ".lock"}) std::filesystem::remove(path_ + suffix, error);
    }

    // Makes or reuses the cached file, counting how often it had to be made.
    std::string Fetch() {
        path_ = SharedFixtureFile(name_, [&] {
            ++makes_;
            return bytes_;
        });
        return path_;
    }

    std::string Contents() const { return platform::ReadWholeFile(path_).value_or(""); }

    const std::string name_ = "shared-fixture-test-" + std::to_string(platform::CurrentProcessId()) + ".bin";
    const std::string bytes_ = std::string(20000, 'a') + std::string(20000, 'b');
    std::string path_;
    int makes_ = 0;
};

TEST_F(SharedFixtureTest, AnIntactFileIsReusedAndADamagedOneMadeAgain) {
    ASSERT_FALSE(Fetch().empty());
    ASSERT_EQ(Fetch(), path_);
    EXPECT_EQ(makes_, 1);

    // A run killed while the file was written leaves it short.
    std::filesystem::resize_file(path_, 100);
    Fetch();
    EXPECT_EQ(makes_, 2);
    EXPECT_EQ(Contents(), bytes_);

    // Same size, one byte changed through a hard-linked copy.
    {
        std::fstream file(path_, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(20000);
        file.put('x');
    }
    Fetch();
    EXPECT_EQ(makes_, 3);
    EXPECT_EQ(Contents(), bytes_);

    // A file whose stamp is missing (written by a run killed before it) is not trusted.
    std::filesystem::remove(path_ + ".stamp");
    Fetch();
    EXPECT_EQ(makes_, 4);
    Fetch();
    EXPECT_EQ(makes_, 4);
}

}  // namespace
}  // namespace veldmoor::test
