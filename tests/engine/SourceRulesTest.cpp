// What the job decides about sources that disagree or fail: the file size
// they make, the waits and give-ups for failed pieces, the notes on them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/SourceNotes.h"
#include "engine/SourcePieceFailures.h"
#include "engine/SourceSizeVote.h"

namespace veldmoor {
namespace {

TEST(SourceRulesTest, TheSizeMostSourcesReportWinsAndOneAnswerWaitsForTheOthers) {
    constexpr int64_t kFile = 2'000'000'000;
    constexpr int64_t kPage = 43;
    struct Case {
        const char* what;
        std::vector<int64_t> reported;
        size_t unanswered;
        bool waitOver;
        int64_t expected;
    };
    const Case cases[] = {
        {"nobody answered", {}, 2, true, 0},
        {"the only source", {kPage}, 0, false, kPage},
        {"a fast page waits for the others", {kPage}, 1, false, 0},
        {"the others stay silent too long", {kPage}, 1, true, kPage},
        {"two disagree: the larger", {kPage, kFile}, 1, false, kFile},
        {"two disagree the other way round", {kFile, kPage}, 0, false, kFile},
        {"the majority, though smaller", {kFile + 1, kFile, kFile}, 0, false, kFile},
        {"agreement", {kFile, kFile}, 3, false, kFile},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ChooseSourceFileSize(c.reported, c.unanswered, c.waitOver), c.expected) << c.what;
}

TEST(SourceRulesTest, AFailedPieceWaitsLongerEachTimeAndIsGivenUpForThatSourceOnly) {
    SourcePieceFailures failures;
    const std::string bad = "http://a/f";
    const std::string other = "http://b/f";
    EXPECT_EQ(failures.Record(bad, 7, 100), 1);
    EXPECT_FALSE(failures.MayFetch(bad, 7, 104));
    EXPECT_TRUE(failures.MayFetch(bad, 7, 105));
    EXPECT_TRUE(failures.MayFetch(bad, 8, 100)) << "other pieces of the same source";
    EXPECT_TRUE(failures.MayFetch(other, 7, 100)) << "the same piece from another source";

    EXPECT_EQ(failures.Record(bad, 7, 105), 2);
    EXPECT_FALSE(failures.MayFetch(bad, 7, 124));
    EXPECT_TRUE(failures.MayFetch(bad, 7, 125));
    EXPECT_FALSE(failures.GivenUp(bad, 7));

    EXPECT_EQ(failures.Record(bad, 7, 125), SourcePieceFailures::kFailuresBeforeGivingUp);
    EXPECT_TRUE(failures.GivenUp(bad, 7));
    EXPECT_FALSE(failures.MayFetch(bad, 7, 1'000'000));
    EXPECT_FALSE(failures.GivenUp(other, 7));
}

TEST(SourceRulesTest, FailuresPastTheCapacityAreNotRecorded) {
    SourcePieceFailures failures;
    for (size_t piece = 0; piece < SourcePieceFailures::kCapacity; ++piece)
        failures.Record("http://a/f", static_cast<int32_t>(piece), 0);
    EXPECT_EQ(failures.Record("http://b/f", 0, 0), 0);
    EXPECT_TRUE(failures.MayFetch("http://b/f", 0, 0));
    EXPECT_EQ(failures.Record("http://a/f", 0, 0), 2) << "known entries still count";
}

TEST(SourceRulesTest, ASourcesNoteIsGivenOncePerReasonAsWholeLines) {
    SourceNotes notes;
    EXPECT_TRUE(notes.Add("http://a/f", "the server answered 500", "asked again in 60 s"));
    EXPECT_FALSE(notes.Add("http://a/f", "the server answered 500", "asked again in 15 s")) << "a retry storm stays quiet";
    EXPECT_TRUE(notes.Add("http://a/f", "the server answered 404", "given up"));
    EXPECT_FALSE(notes.Add("http://a/f", "the server answered 500", "")) << "reasons alternating";
    EXPECT_TRUE(notes.Add("", "piece 3 failed its check from every source", ""));

    const std::string first = "http://a/f\tthe server answered 500; asked again in 60 s\n";
    EXPECT_EQ(notes.Take(first.size() + 5), first) << "only whole lines";
    EXPECT_EQ(notes.Take(4096),
              "http://a/f\tthe server answered 404; given up\n\tpiece 3 failed its check from every source\n");
    EXPECT_EQ(notes.Take(4096), "");

    // A line longer than the room is cut, not left to block the others.
    notes.Add(std::string(SourceNotes::kMaxUrlLength + 100, 'u'), "reason", "");
    notes.Add("http://b/f", "reason", "");
    EXPECT_EQ(notes.Take(101), std::string(100, 'u') + "\n");
    EXPECT_EQ(notes.Take(4096), "http://b/f\treason\n");

    for (int i = 0; i < 100; ++i) notes.Add("http://c/" + std::to_string(i), "reason", "");
    std::string waiting = notes.Take(1 << 20);
    EXPECT_EQ(std::count(waiting.begin(), waiting.end(), '\n'), static_cast<long>(SourceNotes::kCapacity));
    EXPECT_NE(waiting.find("http://c/99\t"), std::string::npos) << "the newest are kept";
}

}  // namespace
}  // namespace veldmoor
