#include "netenv/TcpipLimitReader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>

#include "tests/support/TestSupport.h"

namespace veldmoor {
namespace {

void PutLittleEndian32(std::string& bytes, std::size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string FixedFileInfo(const FileVersion& v) {
    std::string block(52, '\0');
    PutLittleEndian32(block, 0, 0xFEEF04BD);
    PutLittleEndian32(block, 4, 0x00010000);
    PutLittleEndian32(block, 8, static_cast<uint32_t>(v.major) << 16 | static_cast<uint32_t>(v.minor));
    PutLittleEndian32(block, 12, static_cast<uint32_t>(v.build) << 16 | static_cast<uint32_t>(v.revision));
    // The product version differs on purpose: only the file version counts.
    PutLittleEndian32(block, 16, 0x00070007);
    return block;
}

std::string RasAcdMarker() {
    std::string marker;
    for (char c : std::string("\\Device\\RasAcd")) {
        marker += c;
        marker += '\0';
    }
    marker += std::string(2, '\0');
    marker += std::string(6, static_cast<char>(0xCC));
    marker += std::string(4, static_cast<char>(0x90));
    return marker;
}

// What a synthetic driver file holds; the defaults make a limited driver whose
// limit reads 10.
struct DriverImage {
    std::size_t size = 65536;
    std::optional<FileVersion> version = FileVersion{5, 1, 2600, 2180};
    std::size_t versionAt = 512;
    std::optional<std::size_t> markerAt = 8192;
    uint32_t limit = 10;
    uint8_t byteBeforeLimit = 0x00;
    uint8_t byteAfterLimit = 0xB8;
};

std::string DriverBytes(const DriverImage& image) {
    std::string bytes(image.size, '\x11');
    if (image.version) bytes.replace(image.versionAt, 52, FixedFileInfo(*image.version));
    if (image.markerAt) {
        const std::size_t at = *image.markerAt;
        const std::string marker = RasAcdMarker();
        // A marker near the end is cut off by the end of the file.
        bytes.replace(at, std::min(marker.size(), image.size - at), marker.substr(0, image.size - at));
        const std::size_t limitAt = at + 128;
        if (limitAt + 4 < image.size) {
            bytes[limitAt - 1] = static_cast<char>(image.byteBeforeLimit);
            PutLittleEndian32(bytes, limitAt, image.limit);
            bytes[limitAt + 4] = static_cast<char>(image.byteAfterLimit);
        }
    }
    return bytes;
}

std::string WriteDriver(const test::TempDir& dir, const DriverImage& image, const std::string& name = "tcpip.sys") {
    const std::string path = dir.File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::string bytes = DriverBytes(image);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(TcpipLimitReaderTest, OnlyCertainDriverVersionsAreLimited) {
    struct Case {
        FileVersion version;
        bool limited;
    };
    const Case cases[] = {
        {{4, 0, 1381, 0}, false},     {{4, 90, 9999, 9999}, false}, {{5, 0, 2195, 6717}, false},
        {{5, 1, 2600, 2179}, false},  {{5, 1, 2600, 2180}, true},   {{5, 1, 2600, 5512}, true},
        {{5, 1, 2599, 9000}, false},  {{5, 1, 2601, 0}, true},      {{5, 2, 3790, 0}, false},
        {{5, 2, 3790, 1}, true},      {{5, 2, 3789, 4000}, false},  {{5, 3, 0, 0}, true},
        {{6, 0, 6000, 16386}, true},  {{10, 0, 19041, 1}, true},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        DriverImage image;
        image.version = c.version;
        const std::string path = WriteDriver(dir, image);
        TcpipLimitReader reader(path);
        const auto& v = c.version;
        const std::string label = std::to_string(v.major) + "." + std::to_string(v.minor) + "." +
                                  std::to_string(v.build) + "." + std::to_string(v.revision);
        EXPECT_EQ(reader.Version(), c.version) << label;
        EXPECT_EQ(reader.IsLimitedVersion(), c.limited) << label;
        // The same limit is in every file: only the version decides whether it is read.
        EXPECT_EQ(reader.ReadLimit(), c.limited ? 10 : TcpipLimitReader::kNotLimitedVersion) << label;
    }
}

TEST(TcpipLimitReaderTest, FileWithoutVersionIsNotLimited) {
    test::TempDir dir;
    DriverImage image;
    image.version.reset();
    TcpipLimitReader reader(WriteDriver(dir, image));
    EXPECT_EQ(reader.Version(), FileVersion{});
    EXPECT_EQ(reader.ReadLimit(), TcpipLimitReader::kNotLimitedVersion);
    EXPECT_EQ(ConnectionAttemptCapFromDriver(reader.Path()), 32);
}

TEST(TcpipLimitReaderTest, FindsTheLimitOrSaysWhyNot) {
    using R = TcpipLimitReader;
    struct Case {
        const char* name;
        DriverImage image;
        int32_t result;
    };
    auto with = [](auto change) {
        DriverImage image;
        change(image);
        return image;
    };
    const Case cases[] = {
        {"limit found", DriverImage{}, 10},
        {"smallest size", with([](DriverImage& i) { i.size = 32768; }), 10},
        {"largest size", with([](DriverImage& i) { i.size = 2097152; i.markerAt = 2097152 - 4096; }), 10},
        {"one byte too small", with([](DriverImage& i) { i.size = 32767; }), R::kSizeOutOfRange},
        {"one byte too large", with([](DriverImage& i) { i.size = 2097153; }), R::kSizeOutOfRange},
        {"no marker", with([](DriverImage& i) { i.markerAt.reset(); }), R::kMarkerNotFound},
        {"marker at the start", with([](DriverImage& i) { i.markerAt = 0; }), 10},
        {"marker at an odd offset", with([](DriverImage& i) { i.markerAt = 12345; }), 10},
        {"last searched offset", with([](DriverImage& i) { i.markerAt = 65536 - 1024; }), 10},
        {"past the searched range", with([](DriverImage& i) { i.markerAt = 65536 - 1023; }), R::kMarkerNotFound},
        {"limit would lie past the end", with([](DriverImage& i) { i.markerAt = 65536 - 130; }),
         R::kMarkerNotFound},
        {"marker cut off by the end", with([](DriverImage& i) { i.markerAt = 65536 - 20; }), R::kMarkerNotFound},
        {"byte before the limit set", with([](DriverImage& i) { i.byteBeforeLimit = 0x01; }),
         R::kCheckBytesMismatch},
        {"byte after the limit wrong", with([](DriverImage& i) { i.byteAfterLimit = 0xB9; }),
         R::kCheckBytesMismatch},
        {"limit 50", with([](DriverImage& i) { i.limit = 50; }), 50},
        {"limit 0", with([](DriverImage& i) { i.limit = 0; }), 0},
        {"limit reads as an error code", with([](DriverImage& i) { i.limit = 0xFFFFFFFD; }),
         R::kCheckBytesMismatch},
        {"limit with the top bit set", with([](DriverImage& i) { i.limit = 0x80000000; }), R::kCheckBytesMismatch},
    };
    test::TempDir dir;
    for (const auto& c : cases) {
        TcpipLimitReader reader(WriteDriver(dir, c.image));
        ASSERT_TRUE(reader.IsLimitedVersion()) << c.name;
        EXPECT_EQ(reader.ReadLimit(), c.result) << c.name;
        const int32_t expectedOffset = c.result >= 0 ? static_cast<int32_t>(*c.image.markerAt + 128) : 0;
        EXPECT_EQ(reader.Offset(), expectedOffset) << c.name;
    }
}

TEST(TcpipLimitReaderTest, FileGoneAfterTheVersionWasReadCannotBeOpened) {
    test::TempDir dir;
    const std::string path = WriteDriver(dir, DriverImage{});
    TcpipLimitReader reader(path);
    ASSERT_EQ(reader.ReadLimit(), 10);
    std::filesystem::remove(path);
    EXPECT_EQ(reader.ReadLimit(), TcpipLimitReader::kCannotOpen);
    EXPECT_EQ(reader.Offset(), 0);
}

TEST(TcpipLimitReaderTest, MissingOrUnusablePathsAreNotLimited) {
    test::TempDir dir;
    for (const std::string& path : {dir.File("missing.sys"), dir.Path(), std::string()}) {
        TcpipLimitReader reader(path);
        EXPECT_EQ(reader.Path(), path);
        EXPECT_EQ(reader.Version(), FileVersion{}) << path;
        EXPECT_EQ(reader.ReadLimit(), TcpipLimitReader::kNotLimitedVersion) << path;
    }
}

TEST(TcpipLimitReaderTest, DriverPathSitsUnderTheSystemDirectory) {
    EXPECT_EQ(TcpipLimitReader::DriverPathIn("/system"), "/system/drivers/tcpip.sys");
    EXPECT_EQ(TcpipLimitReader::DriverPathIn("/system/"), "/system/drivers/tcpip.sys");
    EXPECT_EQ(TcpipLimitReader::DriverPathIn(""), "drivers/tcpip.sys");
}

TEST(TcpipLimitReaderTest, DefaultDriverIsAbsentHereSoTheCapIs32) {
    TcpipLimitReader reader;
    EXPECT_TRUE(reader.Path().ends_with("/drivers/tcpip.sys")) << reader.Path();
    EXPECT_FALSE(reader.IsLimitedVersion());
    EXPECT_EQ(reader.ReadLimit(), TcpipLimitReader::kNotLimitedVersion);
    EXPECT_EQ(ConnectionAttemptCapFromDriver(), 32);
}

TEST(ConnectionAttemptCapTest, StaysTwoBelowTheLimitAndAtMost32) {
    struct Case {
        int32_t limit;
        int32_t cap;
    };
    const Case cases[] = {
        {10, 8}, {50, 32}, {34, 32}, {33, 31}, {3, 1}, {2, 32}, {1, 32}, {0, 32},
        {-1, 32}, {-6, 32}, {std::numeric_limits<int32_t>::min(), 32}, {std::numeric_limits<int32_t>::max(), 32},
    };
    for (const auto& c : cases) EXPECT_EQ(ConnectionAttemptCapFromLimit(c.limit), c.cap) << c.limit;
}

TEST(ConnectionAttemptCapTest, FollowsTheDriverFile) {
    struct Case {
        const char* name;
        DriverImage image;
        int32_t cap;
    };
    DriverImage limit50, limit2, notLimited, tooSmall;
    limit50.limit = 50;
    limit2.limit = 2;
    notLimited.version = FileVersion{5, 0, 2195, 0};
    tooSmall.size = 32767;
    const Case cases[] = {
        {"limit 10", DriverImage{}, 8}, {"limit 50", limit50, 32},      {"limit 2", limit2, 32},
        {"not limited", notLimited, 32}, {"too small", tooSmall, 32},
    };
    test::TempDir dir;
    for (const auto& c : cases) EXPECT_EQ(ConnectionAttemptCapFromDriver(WriteDriver(dir, c.image)), c.cap) << c.name;
    EXPECT_EQ(ConnectionAttemptCapFromDriver(dir.File("missing.sys")), 32);
}

}  // namespace
}  // namespace veldmoor
