#include <gtest/gtest.h>
#include <json/writer.h>

#include "platform/Files.h"
#include "reporting/EventText.h"
#include "reporting/SystemInfo.h"
#include "tests/reporting/ReportingTestSupport.h"
#include "tools/veldmoor-statsd/BatchParser.h"
#include "tools/veldmoor-statsd/EventStore.h"

namespace veldmoor::statsd {
namespace {

using reporting::UrlEncode;

std::string Fragment(const std::string& errorText) {
    reporting::EventFields fields;
    fields.errorText = errorText;
    fields.totalBytes = 123456789012345;
    return reporting::FormatFragment({"772", "1.0.3.7", "v0.122.13.20", "1"}, fields, {});
}

std::string Info(const std::string& fragment, uint32_t flags = 0) {
    return reporting::BuildEventText(reporting::InformationObjectText(test::FixedSystem(), flags, "1A2B3C4D"), fragment);
}

std::string Body(const std::string& arrayText) { return "data=" + UrlEncode(arrayText); }

std::string OneEvent(const std::string& code, const std::string& info) {
    Json::Value event(Json::objectValue);
    event["code"] = code;
    event["info"] = info;
    Json::Value array(Json::arrayValue);
    array.append(event);
    return Json::FastWriter().write(array);
}

TEST(BatchParserTest, ReadsWhatTheClientWrites) {
    const std::string text = "say \"hi\" \\ 中文 100% a_b\n";
    const BatchParseResult batch = ParseBatchBody(reporting::BuildBatchBody(
        {{"11010000", Info(Fragment(""), reporting::kHardwareAll)}, {"11500201", Info(Fragment(text))}}));
    ASSERT_TRUE(batch.ok) << batch.error;
    ASSERT_EQ(batch.events.size(), 2u);
    EXPECT_EQ(batch.events[0].code, "11010000");
    EXPECT_NE(batch.events[0].hardwareJson.find("\"Memory_Total_Capacity\":\"8589934592\""), std::string::npos);
    const ParsedEvent& event = batch.events[1];
    EXPECT_EQ(event.errorText, text);
    EXPECT_EQ(event.sessionId, "1A2B3C4D");
    EXPECT_EQ(event.machineId, "0123456789ABCDEF");
    EXPECT_EQ(event.adapterAddresses, "02-fc-00-00-00-01;8e-af-2c-60-61-a3");
    EXPECT_EQ(event.osDescriptor, "61120641");
    EXPECT_EQ(event.totalBytes, 123456789012345);
    EXPECT_EQ(event.gameVersion, "v0.122.13.20");
    EXPECT_EQ(event.hardwareJson, "");
}

TEST(BatchParserTest, RefusesMalformedBodiesWithAReason) {
    const std::string good = Info(Fragment(""));
    std::string unescaped = Info(Fragment("QUOTE"));
    unescaped.replace(unescaped.find("QUOTE"), 5, "a\"b");  // a client that does not escape
    std::string badNumber = good;
    badNumber.replace(badNumber.find("\"Totalbytes\":\"123456789012345\""), 29, "\"Totalbytes\":\"-12\"");
    std::string hugeNumber = good;
    hugeNumber.replace(hugeNumber.find("123456789012345"), 15, "99999999999999999999");
    std::string missingMember = good;
    missingMember.replace(missingMember.find(",\"Url\":\"\""), 9, "");
    std::string extraMember = good;
    extraMember.insert(extraMember.size() - 1, ",\"Admin\":\"1\"");
    std::string lowerMachine = good;
    lowerMachine.replace(lowerMachine.find("0123456789ABCDEF"), 16, "0123456789abcdef");
    std::string nulText = good;
    nulText.replace(nulText.find("\"Errormsg\":\"\""), 13, "\"Errormsg\":\"a\\u0000b\"");
    std::string duplicate = good;
    duplicate.insert(duplicate.size() - 1, ",\"GameID\":\"773\"");
    std::vector<std::pair<std::string, std::string>> twentyOne(21, {"11030000", good});
    // A raw control byte in a JSON string, in the batch or in an event text.
    std::string rawControlInText = good;
    rawControlInText.replace(rawControlInText.find("\"Errormsg\":\"\""), 13, "\"Errormsg\":\"a\x01b\"");
    std::string rawControlInBatch = OneEvent("11030000", good);
    rawControlInBatch.replace(rawControlInBatch.find("\\\"Errormsg\\\":\\\"\\\""), 17,
                              "\\\"Errormsg\\\":\\\"\t\\\"");

    const std::vector<std::pair<const char*, std::string>> cases = {
        {"empty", ""},
        {"no prefix", UrlEncode("[]")},
        {"plus sign", "data=%5B+%5D"},
        {"raw space", "data=%5B %5D"},
        {"broken escape", "data=%5"},
        {"bad hex", "data=%GG"},
        {"not JSON", Body("hello")},
        {"trailing garbage", Body(OneEvent("11030000", good) + "x")},
        {"object", Body("{\"code\":\"11030000\"}")},
        {"empty array", Body("[]")},
        {"too many events", reporting::BuildBatchBody(twentyOne)},
        {"code as number", Body("[{\"code\":11030000,\"info\":\"{}\"}]")},
        {"extra key", Body("[{\"code\":\"11030000\",\"info\":\"{}\",\"x\":1}]")},
        {"short code", Body(OneEvent("1103", good))},
        {"no braces", Body(OneEvent("11030000", good.substr(1)))},
        {"no information", Body(OneEvent("11030000", "{" + Fragment("").substr(1) + "}"))},
        {"unescaped quote", Body(OneEvent("11030000", unescaped))},
        {"negative number", Body(OneEvent("11030000", badNumber))},
        {"overflowing number", Body(OneEvent("11030000", hugeNumber))},
        {"missing member", Body(OneEvent("11030000", missingMember))},
        {"unknown member", Body(OneEvent("11030000", extraMember))},
        {"duplicate member", Body(OneEvent("11030000", duplicate))},
        {"lower-case machine", Body(OneEvent("11030000", lowerMachine))},
        {"NUL in text", Body(OneEvent("11030000", nulText))},
        {"raw control byte in an event text", Body(OneEvent("11030000", rawControlInText))},
        {"raw tab in the batch", Body(rawControlInBatch)},
        {"invalid UTF-8", "data=" + UrlEncode("[{\"code\":\"11030000\",\"info\":\"") + "%FF" + UrlEncode("\"}]")},
        {"deep nesting", Body(std::string(100000, '[') + std::string(100000, ']'))},
    };
    for (const auto& [name, body] : cases) {
        SCOPED_TRACE(name);
        const BatchParseResult batch = ParseBatchBody(body);
        EXPECT_FALSE(batch.ok);
        EXPECT_FALSE(batch.error.empty());
        EXPECT_TRUE(batch.events.empty());
    }
}

TEST(BatchParserTest, EscapedControlCharactersAreText) {
    std::string info = Info(Fragment(""));
    info.replace(info.find("\"Errormsg\":\"\""), 13, "\"Errormsg\":\"a\\u0001b\\tc\"");
    const BatchParseResult batch = ParseBatchBody(Body(OneEvent("11030000", info)));
    ASSERT_TRUE(batch.ok) << batch.error;
    EXPECT_EQ(batch.events[0].errorText, "a\x01" "b\tc");
}

TEST(BatchParserTest, UrlDecodingIsStrict) {
    std::string decoded;
    std::string error;
    EXPECT_TRUE(UrlDecode("a_b%5F%25%c3%A9", decoded, error));
    EXPECT_EQ(decoded, "a b_%é");
    EXPECT_FALSE(UrlDecode("a=b", decoded, error));
    EXPECT_NE(error.find("not allowed"), std::string::npos);
}

TEST(EventStoreTest, UtcDayAndDatabaseKinds) {
    EXPECT_EQ(UtcDay(0), "1970-01-01");
    EXPECT_EQ(UtcDay(951782400), "2000-02-29");
    EXPECT_EQ(UtcDay(1796947199), "2026-12-10");
    EXPECT_TRUE(IsPostgresConnection("postgresql://statsd@db/events"));
    EXPECT_TRUE(IsPostgresConnection("host=/tmp dbname=events"));
    EXPECT_FALSE(IsPostgresConnection("/var/lib/veldmoor-statsd/events.sqlite"));
}

}  // namespace
}  // namespace veldmoor::statsd

namespace veldmoor::statsd {
namespace {

TEST(BatchParserTest, FuzzSeedBodiesAreAccepted) {
    const std::string folder = std::string(VELDMOOR_SOURCE_DIR) + "/fuzz/corpus/stats_batch/";
    for (const char* name : {"one_event", "hardware", "texts", "three"}) {
        SCOPED_TRACE(name);
        const auto body = platform::ReadWholeFile(folder + name);
        ASSERT_TRUE(body);
        const BatchParseResult batch = ParseBatchBody(*body);
        EXPECT_TRUE(batch.ok) << batch.error;
    }
}

}  // namespace
}  // namespace veldmoor::statsd
