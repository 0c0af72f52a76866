#include <gtest/gtest.h>

#include "reporting/CDataStatisticsImp.h"
#include "reporting/EventText.h"
#include "reporting/StatisticsConfig.h"
#include "tests/reporting/ReportingTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/veldmoor-statsd/BatchParser.h"

namespace veldmoor::reporting {
namespace {

const EventIdentity kIdentity{"772", "1.0.3.7", "v0.122.13.20", "1"};

std::string Fragment(const std::string& errorText) {
    EventFields fields;
    fields.errorText = errorText;
    return FormatFragment(kIdentity, fields, {});
}

class StatisticsComponentTest : public ::testing::Test {
protected:
    void SetUp() override {
        shared_ = std::make_shared<test::RecordingPoster::Shared>();
        component_ = std::make_unique<CDataStatisticsImp>(std::make_unique<test::RecordingPoster>(shared_), system_,
                                                          CDataStatisticsImp::Options{false});
    }

    void Configure(const std::string& text) {
        platform::ReplaceFileContents(directory_.File("dataupload.vmconf"), text);
        component_->SetConfigurationFile(directory_.File("dataupload.vmconf"));
    }

    // The events of a posted body, as the collector reads them.
    static std::vector<statsd::ParsedEvent> Decode(const std::string& body) {
        const statsd::BatchParseResult batch = statsd::ParseBatchBody(body);
        EXPECT_TRUE(batch.ok) << batch.error;
        return batch.events;
    }

    test::TempDir directory_;
    SystemDescription system_ = test::FixedSystem();
    std::shared_ptr<test::RecordingPoster::Shared> shared_;
    std::unique_ptr<CDataStatisticsImp> component_;
};

TEST_F(StatisticsComponentTest, TwentyEventsMakeOneBatchAndTheTwentyFirstIsRefused) {
    Configure(test::ConfigurationText({"http://collector/launchersubmit/eventListSubmit"}));
    for (int i = 0; i < 20; ++i) EXPECT_EQ(component_->AddEvent("11050000", Fragment("n" + std::to_string(i)), 0), 1);
    EXPECT_EQ(component_->AddEvent("11050000", Fragment("n20"), 0), CDataStatisticsImp::kBatchFull);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kDelivered);

    const auto posts = shared_->Posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].url, "http://collector/launchersubmit/eventListSubmit");
    const auto events = Decode(posts[0].body);
    ASSERT_EQ(events.size(), 20u);
    for (size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].errorText, "n" + std::to_string(i));
        EXPECT_EQ(events[i].sessionId, component_->SessionId());
        EXPECT_EQ(events[i].machineId, "0123456789ABCDEF");
    }
    // The count starts again after a batch.
    EXPECT_EQ(component_->AddEvent("11050000", Fragment("next"), 0), 1);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kDelivered);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kNothing) << "an empty batch posts nothing";
    EXPECT_EQ(shared_->Posts().size(), 2u);
}

TEST_F(StatisticsComponentTest, RefusalsOfAddingAnEvent) {
    component_->SetConfigurationFile(directory_.File("missing.vmconf"));
    EXPECT_EQ(component_->AddEvent("11030000", Fragment(""), 0), CDataStatisticsImp::kConfigurationMissing);

    Configure(test::ConfigurationText({"http://collector/x"}));
    EXPECT_EQ(component_->AddEvent("", Fragment(""), 0), CDataStatisticsImp::kNothing);
    EXPECT_EQ(component_->AddEvent("11030000", "", 0), CDataStatisticsImp::kNothing);
    const EventIdentity noGame{"", "1.0.3.7", "v0.122.13.20", "1"};
    std::string withoutGameId = FormatFragment(noGame, {}, {});
    withoutGameId.replace(withoutGameId.find("GameID"), 6, "GameXX");
    EXPECT_EQ(component_->AddEvent("11030000", withoutGameId, 0), CDataStatisticsImp::kInputKeywordMissing);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kNothing);
    EXPECT_TRUE(shared_->Posts().empty());
}

TEST_F(StatisticsComponentTest, UrlsAreTriedInOrderUntilOneAnswersErrorZero) {
    Configure(test::ConfigurationText({"http://a/", "http://b/", "http://c/", "", "http://never/"}));
    shared_->answer = [](const std::string& url) -> std::optional<std::string> {
        if (url == "http://a/") return std::string("<html>502 Bad Gateway</html>");
        if (url == "http://b/") return std::nullopt;  // no connection
        return std::string("{\"error\":0,\"stored\":1}");
    };
    ASSERT_EQ(component_->AddEvent("11030000", Fragment(""), 0), 1);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kDelivered);
    const auto posts = shared_->Posts();
    ASSERT_EQ(posts.size(), 3u);
    EXPECT_EQ(posts[0].url, "http://a/");
    EXPECT_EQ(posts[1].url, "http://b/");
    EXPECT_EQ(posts[2].url, "http://c/");
    EXPECT_EQ(posts[0].body, posts[2].body);

    // Nobody takes it: lost, and the next batch starts empty.
    shared_->answer = [](const std::string&) { return std::optional<std::string>("{\"error\":1}"); };
    ASSERT_EQ(component_->AddEvent("11030000", Fragment(""), 0), 1);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kNothing);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kNothing);
    EXPECT_EQ(shared_->Posts().size(), 6u);
}

TEST_F(StatisticsComponentTest, BatchThatReachedNoServerIsToldApart) {
    Configure(test::ConfigurationText({"http://a/", "http://b/"}));
    shared_->answer = [](const std::string&) { return std::nullopt; };
    ASSERT_EQ(component_->AddEvent("11030000", Fragment(""), 0), 1);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kNoServerReached);
    // One server that answers, even with a refusal, may hold the batch.
    shared_->answer = [](const std::string& url) -> std::optional<std::string> {
        if (url == "http://a/") return std::string("<html>500</html>");
        return std::nullopt;
    };
    ASSERT_EQ(component_->AddEvent("11030000", Fragment(""), 0), 1);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kNothing);
}

TEST_F(StatisticsComponentTest, EventsWithoutTheSubmitKeywordsAreLeftOut) {
    Configure(test::ConfigurationText({"http://c/"}, "MachId;Mac;OS;Nowhere"));
    ASSERT_EQ(component_->AddEvent("11030000", Fragment(""), 0), 1);
    ASSERT_EQ(component_->AddEvent("11040000", Fragment("has Nowhere in it"), 0), 1);
    EXPECT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kDelivered);
    const auto posts = shared_->Posts();
    ASSERT_EQ(posts.size(), 1u);
    const auto events = Decode(posts[0].body);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].code, "11040000");
}

TEST_F(StatisticsComponentTest, HardwareFlagsAddTheDescriptionsToTheEventText) {
    Configure(test::ConfigurationText({"http://c/"}));
    ASSERT_EQ(component_->AddEvent("11010000", Fragment(""), kHardwareAll), 1);
    ASSERT_EQ(component_->AddEvent("11030000", Fragment(""), 0), 1);
    ASSERT_EQ(component_->SubmitBatch(), CDataStatisticsImp::kDelivered);
    const auto events = Decode(shared_->Posts().at(0).body);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_NE(events[0].hardwareJson.find("\"CPU_Name\":\"AMD EPYC\""), std::string::npos) << events[0].hardwareJson;
    EXPECT_NE(events[0].hardwareJson.find("Memory_Total_Capacity"), std::string::npos);
    EXPECT_EQ(events[1].hardwareJson, "");
}

TEST(AnswerTest, OnlyErrorZeroTakesTheBatch) {
    EXPECT_TRUE(AnswerAcceptsBatch("{\"error\":0}"));
    EXPECT_TRUE(AnswerAcceptsBatch("{\"stored\":3,\"error\":0,\"x\":1}"));
    EXPECT_FALSE(AnswerAcceptsBatch("{\"error\":01}"));
    EXPECT_FALSE(AnswerAcceptsBatch("{\"error\":10}"));
    EXPECT_FALSE(AnswerAcceptsBatch("{\"error\": 0}"));
    EXPECT_FALSE(AnswerAcceptsBatch("<html>Service Unavailable</html>"));
    EXPECT_FALSE(AnswerAcceptsBatch(""));
}

TEST(StatisticsConfigTest, ProfileRulesAndBatchUrlList) {
    const StatisticsConfig config(
        "; comment\n[submiteventdownload]\n  inputdatakeyword = \"A;B;;C\" \n"
        "SubmitDataKeyWord=" + std::string(300, 'k') + "\n"
        "[SubmitEventDownloadSeveral]\nSubmitUrl=http://one/\nSubmitUrl1=http://two/\nSubmitUrl1=http://dup/\n"
        "SubmitUrl3=http://gap/\n");
    EXPECT_EQ(config.InputKeywords(), (std::vector<std::string>{"A", "B", "C"}));
    ASSERT_EQ(config.SubmitKeywords().size(), 1u);
    EXPECT_EQ(config.SubmitKeywords()[0].size(), StatisticsConfig::kKeywordTextLimit);
    EXPECT_EQ(config.BatchUrls(), (std::vector<std::string>{"http://one/", "http://two/"}));
    EXPECT_TRUE(StatisticsConfig("").BatchUrls().empty());
}

}  // namespace
}  // namespace veldmoor::reporting
