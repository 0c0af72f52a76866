// The FTP source's protocol pieces: reply framing on the control connection,
// the command lines, the passive address, the file size and the step table.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "peers/FtpProtocol.h"
#include "peers/SourceAddress.h"

namespace veldmoor {
namespace {

using namespace std::string_literals;

const char* StatusName(FtpReplyStatus status) {
    switch (status) {
        case FtpReplyStatus::kIncomplete: return "incomplete";
        case FtpReplyStatus::kComplete: return "complete";
        case FtpReplyStatus::kMalformed: return "malformed";
        case FtpReplyStatus::kTooLong: return "too long";
    }
    return "?";
}

// ---- reply framing ----------------------------------------------------------

TEST(FtpReplyTest, FramesRepliesByTheirLastLine) {
    struct Case {
        std::string buffered;
        FtpReplyStatus status;
        int32_t code;
        std::string text;
        size_t bytesUsed;
    };
    const std::string greeting = "220-Welcome\r\n220-Mirror of files\r\n220 ready\r\n";
    const Case cases[] = {
        {"220 ready\r\n", FtpReplyStatus::kComplete, 220, "ready", 11},
        {"213 5000000000\r\n", FtpReplyStatus::kComplete, 213, "5000000000", 16},
        // A second reply already buffered stays for the next read.
        {"331 password\r\n230 in\r\n", FtpReplyStatus::kComplete, 331, "password", 14},
        {greeting, FtpReplyStatus::kComplete, 220, "Welcome", greeting.size()},
        {greeting + "331 x\r\n", FtpReplyStatus::kComplete, 220, "Welcome", greeting.size()},
        // Inner lines that merely start with the code do not end the reply.
        {"220-a\r\n220-b\r\n2201 c\r\n220\r\n220x\r\n", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"220-a\r\n 220 indented\r\n", FtpReplyStatus::kIncomplete, 0, "", 0},
        // Another code with a blank is an inner line too.
        {"220-a\r\n230 b\r\n220 c\r\n", FtpReplyStatus::kComplete, 220, "a", 21},
        {"220-a\r\n\r\n\r\n220 end\r\n", FtpReplyStatus::kComplete, 220, "a", 20},
        {"220 ok\n", FtpReplyStatus::kComplete, 220, "ok", 7},
        {"220\r\n", FtpReplyStatus::kComplete, 220, "", 5},
        {"220 \r\n", FtpReplyStatus::kComplete, 220, "", 6},
        {"227 text with \0 inside\r\n"s, FtpReplyStatus::kComplete, 227, "text with \0 inside"s, 24},
        {"", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"22", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"220", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"220 ready", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"220 ready\r", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"220-ready\r\n220 ", FtpReplyStatus::kIncomplete, 0, "", 0},
        {"HTTP/1.1 200 OK\r\n", FtpReplyStatus::kMalformed, 0, "", 0},
        {"2x", FtpReplyStatus::kMalformed, 0, "", 0},
        {"2200 x\r\n", FtpReplyStatus::kMalformed, 0, "", 0},
        {"220_x", FtpReplyStatus::kMalformed, 0, "", 0},
        {"220\rx\r\n", FtpReplyStatus::kMalformed, 0, "", 0},
        {"22\r\n", FtpReplyStatus::kMalformed, 0, "", 0},
        {"\r\n", FtpReplyStatus::kMalformed, 0, "", 0},
        {" 220 x\r\n", FtpReplyStatus::kMalformed, 0, "", 0},
    };
    for (const Case& c : cases) {
        const FtpReply reply = ReadFtpReply(c.buffered);
        EXPECT_EQ(reply.status, c.status) << c.buffered << " -> " << StatusName(reply.status);
        if (c.status != FtpReplyStatus::kComplete) continue;
        EXPECT_EQ(reply.code, c.code) << c.buffered;
        EXPECT_EQ(reply.text, c.text) << c.buffered;
        EXPECT_EQ(reply.bytesUsed, c.bytesUsed) << c.buffered;
    }
}

TEST(FtpReplyTest, MultiLineGreetingCompletesOnlyWhenItsLastLineHasArrived) {
    const std::string greeting = "220-Welcome\r\n220-220 inside\r\n220\r\n220-x\r\n220 ready\r\n";
    for (size_t length = 0; length < greeting.size(); ++length) {
        EXPECT_EQ(ReadFtpReply(greeting.substr(0, length)).status, FtpReplyStatus::kIncomplete) << length;
    }
    const FtpReply reply = ReadFtpReply(greeting);
    ASSERT_EQ(reply.status, FtpReplyStatus::kComplete);
    EXPECT_EQ(reply.code, 220);
    EXPECT_EQ(reply.bytesUsed, greeting.size());
}

// The way the session reads: bytes arrive in pieces, complete replies are
// taken off the front, the rest waits.
TEST(FtpReplyTest, RepliesSplitAcrossReadsComeOutWholeAndInOrder) {
    const std::string stream =
        "220-Hello\r\n220-more\r\n220 ready\r\n331 password\r\n230 in\r\n250 cwd\r\n213 3000000000\r\n200 type\r\n";
    const std::vector<std::pair<int32_t, std::string>> expected = {
        {220, "Hello"}, {331, "password"}, {230, "in"}, {250, "cwd"}, {213, "3000000000"}, {200, "type"}};
    for (size_t chunk = 1; chunk <= 9; ++chunk) {
        std::string buffered;
        std::vector<std::pair<int32_t, std::string>> read;
        for (size_t fed = 0; fed < stream.size(); fed += chunk) {
            buffered += stream.substr(fed, chunk);
            for (;;) {
                const FtpReply reply = ReadFtpReply(buffered);
                ASSERT_NE(reply.status, FtpReplyStatus::kMalformed) << "chunk " << chunk << " at " << fed;
                ASSERT_NE(reply.status, FtpReplyStatus::kTooLong) << "chunk " << chunk << " at " << fed;
                if (reply.status == FtpReplyStatus::kIncomplete) break;
                read.emplace_back(reply.code, reply.text);
                buffered.erase(0, reply.bytesUsed);
            }
        }
        EXPECT_EQ(read, expected) << "chunk " << chunk;
        EXPECT_EQ(buffered, "") << "chunk " << chunk;
    }
}

TEST(FtpReplyTest, ReplyLongerThanTheCapIsRefused) {
    const std::string last = "220 end\r\n";
    const auto multiLine = [&](size_t total) {
        const std::string first = "220-start\r\n";
        return first + std::string(total - first.size() - last.size() - 2, 'x') + "\r\n" + last;
    };
    const std::string atCap = multiLine(kFtpMaxReplyBytes);
    ASSERT_EQ(atCap.size(), kFtpMaxReplyBytes);
    EXPECT_EQ(ReadFtpReply(atCap).status, FtpReplyStatus::kComplete);
    EXPECT_EQ(ReadFtpReply(atCap + "331 next\r\n").bytesUsed, kFtpMaxReplyBytes);

    const std::string overCap = multiLine(kFtpMaxReplyBytes + 1);
    EXPECT_EQ(ReadFtpReply(overCap).status, FtpReplyStatus::kTooLong);
    EXPECT_EQ(ReadFtpReply(overCap.substr(0, kFtpMaxReplyBytes)).status, FtpReplyStatus::kTooLong);
    EXPECT_EQ(ReadFtpReply(overCap.substr(0, kFtpMaxReplyBytes - 1)).status, FtpReplyStatus::kIncomplete);
    EXPECT_EQ(ReadFtpReply("220 " + std::string(kFtpMaxReplyBytes, 'y')).status, FtpReplyStatus::kTooLong);
}

TEST(FtpReplyTest, ClassesFollowTheFirstDigit) {
    const std::pair<int32_t, FtpReplyClass> cases[] = {
        {150, FtpReplyClass::kPreliminary}, {226, FtpReplyClass::kCompletion},   {331, FtpReplyClass::kIntermediate},
        {421, FtpReplyClass::kTransient},   {499, FtpReplyClass::kTransient},    {500, FtpReplyClass::kPermanent},
        {530, FtpReplyClass::kPermanent},   {599, FtpReplyClass::kPermanent},    {99, FtpReplyClass::kInvalid},
        {600, FtpReplyClass::kInvalid},     {0, FtpReplyClass::kInvalid},        {-421, FtpReplyClass::kInvalid},
    };
    for (const auto& [code, expected] : cases) EXPECT_EQ(ClassifyFtpReply(code), expected) << code;
}

TEST(FtpReplyTest, StepTableAdvancesOnlyOnItsCodes) {
    struct Case {
        int32_t step;
        int32_t code;
        std::optional<int32_t> next;
    };
    const Case cases[] = {
        {kFtpStepGreeting, 220, kFtpStepUser},   {kFtpStepGreeting, 120, std::nullopt},
        {kFtpStepUser, 331, kFtpStepPass},       {kFtpStepUser, 230, std::nullopt},
        {kFtpStepPass, 230, kFtpStepCwd},        {kFtpStepPass, 332, kFtpStepCwd},
        {kFtpStepPass, 530, std::nullopt},       {kFtpStepPass, 331, std::nullopt},
        {kFtpStepCwd, 250, kFtpStepSize},        {kFtpStepCwd, 550, std::nullopt},
        {kFtpStepSize, 213, kFtpStepType},       {kFtpStepSize, 550, std::nullopt},
        {kFtpStepType, 200, kFtpStepPasv},       {kFtpStepPasv, 227, kFtpStepRest},
        {kFtpStepPasv, 425, std::nullopt},       {kFtpStepRest, 350, kFtpStepRetr},
        {kFtpStepRest, 502, std::nullopt},       {kFtpStepRetr, 125, kFtpStepTransfer},
        {kFtpStepRetr, 150, kFtpStepTransfer},   {kFtpStepRetr, 226, std::nullopt},
        {kFtpStepEndOfTransfer, 426, kFtpStepPasv}, {kFtpStepEndOfTransfer, 226, kFtpStepPasv},
        {kFtpStepEndOfTransfer, 250, kFtpStepPasv}, {kFtpStepEndOfTransfer, 200, std::nullopt},
        {kFtpStepTransfer, 226, std::nullopt},   {10, 220, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(FtpNextStep(c.step, c.code), c.next) << c.step << " " << c.code;
}

// ---- command lines ----------------------------------------------------------

TEST(FtpCommandTest, LinesEndInCrLf) {
    const std::pair<std::string, std::string> cases[] = {
        {FtpUserCommand("anonymous"), "user anonymous\r\n"},
        {FtpPassCommand("guest@example.com"), "pass guest@example.com\r\n"},
        {FtpPassCommand(""), "pass \r\n"},
        {FtpCwdCommand("/pub/my files"), "cwd /pub/my files\r\n"},
        {FtpSizeCommand("setup.exe"), "size setup.exe\r\n"},
        {FtpTypeImageCommand(), "type i\r\n"},
        {FtpPasvCommand(), "pasv\r\n"},
        {FtpRestCommand(0), "rest 0\r\n"},
        {FtpRestCommand(16384), "rest 16384\r\n"},
        {FtpRestCommand(2147483648), "rest 2147483648\r\n"},
        {FtpRestCommand(5368709120), "rest 5368709120\r\n"},
        {FtpRestCommand(INT64_MAX), "rest 9223372036854775807\r\n"},
        {FtpRetrCommand("/pub/setup.exe"), "retr /pub/setup.exe\r\n"},
        {FtpRestCommand(-1), ""},
        {FtpRestCommand(INT64_MIN), ""},
    };
    for (const auto& [built, expected] : cases) EXPECT_EQ(built, expected);
}

TEST(FtpCommandTest, ArgumentsThatWouldEndTheLineAreRefused) {
    const std::vector<std::pair<const char*, std::function<std::string(std::string_view)>>> builders = {
        {"user", FtpUserCommand}, {"pass", FtpPassCommand}, {"cwd", FtpCwdCommand},
        {"size", FtpSizeCommand}, {"retr", FtpRetrCommand},
    };
    const std::string injections[] = {"x\r\ndele /pub/setup.exe", "x\ndele y", "x\rdele y", "x\0y"s, "\r", "\n", "\0"s,
                                      "setup.exe\r\n"};
    for (const auto& [name, build] : builders) {
        ASSERT_FALSE(build("fine").empty()) << name;
        for (const std::string& argument : injections) EXPECT_EQ(build(argument), "") << name << " " << argument;
    }
}

TEST(FtpCommandTest, PathSplitsIntoDirectoryAndFileName) {
    struct Case {
        const char* path;
        std::optional<std::pair<std::string, std::string>> parts;
    };
    const Case cases[] = {
        {"/pub/tools/setup.exe", std::pair{"/pub/tools"s, "setup.exe"s}},
        {"/setup.exe", std::pair{"/"s, "setup.exe"s}},
        {"/a b/c d.iso", std::pair{"/a b"s, "c d.iso"s}},
        {"//setup.exe", std::pair{"/"s, "setup.exe"s}},
        {"/pub/", std::nullopt},
        {"/", std::nullopt},
        {"setup.exe", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::optional<FtpPathParts> parts = SplitFtpPath(c.path);
        ASSERT_EQ(parts.has_value(), c.parts.has_value()) << c.path;
        if (!parts) continue;
        EXPECT_EQ(parts->directory, c.parts->first) << c.path;
        EXPECT_EQ(parts->fileName, c.parts->second) << c.path;
    }
}

// ---- values taken from replies ----------------------------------------------

TEST(FtpPassiveTest, ReadsSixFieldsBetweenTheParentheses) {
    struct Case {
        const char* text;
        std::array<uint8_t, 4> address;
        const char* host;
        int32_t port;
    };
    const Case cases[] = {
        {"Entering Passive Mode (10,0,0,1,19,137)", {10, 0, 0, 1}, "10.0.0.1", 5001},
        {"Entering Passive Mode (10, 0, 0, 1, 19, 137).", {10, 0, 0, 1}, "10.0.0.1", 5001},
        {"=( 192,168,1,20,0,21 ) (1,2,3,4,5,6)", {192, 168, 1, 20}, "192.168.1.20", 21},
        {"(10 0 0 1 19 137)", {10, 0, 0, 1}, "10.0.0.1", 5001},
        {"(255,255,255,255,255,255)", {255, 255, 255, 255}, "255.255.255.255", 65535},
        {"(0,0,0,0,0,1)", {0, 0, 0, 0}, "0.0.0.0", 1},
        {"(010,000,0,1,019,137)", {10, 0, 0, 1}, "10.0.0.1", 5001},
    };
    for (const Case& c : cases) {
        const std::optional<FtpPassiveAddress> passive = ParseFtpPassiveReply(c.text);
        ASSERT_TRUE(passive.has_value()) << c.text;
        EXPECT_EQ(passive->ip.Octets(), c.address) << c.text;
        EXPECT_EQ(passive->ip, Ipv4Address::FromOctets(c.address[0], c.address[1], c.address[2], c.address[3])) << c.text;
        EXPECT_EQ(passive->host, c.host) << c.text;
        EXPECT_EQ(passive->port, c.port) << c.text;
    }
}

TEST(FtpExtendedPassiveTest, ReadsThePortBetweenDelimiters) {
    const std::pair<const char*, std::optional<int32_t>> cases[] = {
        {"Entering Extended Passive Mode (|||6446|)", 6446},
        {"(!!!1!)", 1},
        {"ok (###65535#) thanks", 65535},
        {"(|||65536|)", std::nullopt},
        {"(|||0|)", std::nullopt},
        {"(||||)", std::nullopt},
        {"(|||64a6|)", std::nullopt},
        {"(|||-446|)", std::nullopt},
        {"(|||+446|)", std::nullopt},
        {"(|||006446|)", std::nullopt},
        {"(|1|2|6446|)", std::nullopt},  // the address fields stay empty in an answer
        {"(||!6446|)", std::nullopt},
        {"(|||6446!)", std::nullopt},
        {"(11164461)", std::nullopt},  // a digit cannot delimit
        {"(   6446 )", std::nullopt},
        {"(|||6446|", std::nullopt},
        {"|||6446|)", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& [text, port] : cases) EXPECT_EQ(ParseFtpExtendedPassiveReply(text), port) << text;
    EXPECT_EQ(FtpNextStep(kFtpStepPasv, 229), kFtpStepRest);
}

TEST(FtpPassiveTest, RefusesOtherForms) {
    const std::string refused[] = {
        "Entering Passive Mode 10,0,0,1,19,137",
        "Entering Passive Mode (10,0,0,1,19,137",
        "Entering Passive Mode )10,0,0,1,19,137(",
        "(10,0,0,1),19,137)",
        "(10,0,0,1,19)",
        "(10,0,0,1,19,137,1)",
        "(10,0,0,1,19,137,)",
        "(,10,0,0,1,19,137)",
        "(10,,0,0,1,19,137)",
        "(10,0,0,1,19,256)",
        "(256,0,0,1,19,137)",
        "(10,0,0,1,19,-1)",
        "(10,0,0,1,19,+1)",
        "(10,0,0,1,19,1a)",
        "(10,0,0,1,19,0x1)",
        "(10,0,0,1,19,1.5)",
        "(10,0,0,1,19,0010)",
        "(10,0,0,1,19,99999999999999999999)",
        "(10,0,0,1,0,0)",
        "(10;0;0;1;19;137)",
        "(10,0,0,1,19,137\0)"s,
        "()",
        "( )",
        "",
    };
    for (const std::string& text : refused) EXPECT_FALSE(ParseFtpPassiveReply(text).has_value()) << text;
}

TEST(FtpSizeTest, ReadsA64BitDecimalAndRefusesOverflow) {
    struct Case {
        int32_t code;
        std::string text;
        std::optional<int64_t> size;
    };
    const Case cases[] = {
        {213, "12345", 12345},
        {213, "0", 0},
        {213, " 5000000000 ", 5000000000},
        {213, "9223372036854775807", INT64_MAX},
        {213, "9223372036854775808", std::nullopt},
        {213, "18446744073709551616", std::nullopt},
        {213, "123456789012345678901234567890", std::nullopt},
        {213, "-1", std::nullopt},
        {213, "+5", std::nullopt},
        {213, "12a", std::nullopt},
        {213, "1 2", std::nullopt},
        {213, "", std::nullopt},
        {213, "   ", std::nullopt},
        {213, "12\0"s, std::nullopt},
        {550, "12345", std::nullopt},
        {212, "12345", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseFtpSizeReply(c.code, c.text), c.size) << c.code << " " << c.text;
}

TEST(FtpSizeTest, SizeReplyReadOffTheWireGivesTheSize) {
    const FtpReply reply = ReadFtpReply("213 3000000000\r\n");
    ASSERT_EQ(reply.status, FtpReplyStatus::kComplete);
    EXPECT_EQ(ParseFtpSizeReply(reply.code, reply.text), 3000000000);
}

}  // namespace
}  // namespace veldmoor
