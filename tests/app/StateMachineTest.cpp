// The transition table and the user texts: which events move which states,
// and how texts are composed and translated.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "app/ControllerStateMachine.h"
#include "app/UserTexts.h"

namespace veldmoor {
namespace {

using S = DownloadState;
using E = ControllerEvent;

// Drives a fresh machine through `path` and returns where it ended.
S After(std::initializer_list<E> path) {
    ControllerStateMachine machine;
    for (E event : path) machine.Apply(event);
    return machine.State();
}

TEST(ControllerStateMachine, TheUsualLifeOfADownload) {
    EXPECT_EQ(After({}), S::ready);
    EXPECT_EQ(After({E::taskStarted, E::progressSeen, E::speedSeen}), S::downloading);
    EXPECT_EQ(After({E::taskStarted, E::speedSeen, E::userPaused, E::userContinued}), S::resume);
    EXPECT_EQ(After({E::taskStarted, E::speedSeen, E::allComplete, E::verifyStarted, E::repairStarted,
                     E::repairDone, E::verifyPassed}),
              S::checkfinished);
    EXPECT_EQ(After({E::restoredFinished, E::installBegun, E::installEndedUnverified}), S::finished);
    EXPECT_EQ(After({E::restoredFinished, E::verifyStarted, E::verifyPassed, E::installBegun,
                     E::installEndedVerified}),
              S::checkfinished);
    EXPECT_EQ(After({E::restoredFinished, E::verifyStarted, E::repairsExhausted}), S::failed);
    EXPECT_EQ(After({E::roomLost}), S::back);
    EXPECT_EQ(After({E::roomLost, E::roomRegained}), S::ready);
    EXPECT_EQ(After({E::restoredRecover, E::engineEndedTask}), S::pause);
}

TEST(ControllerStateMachine, EventsOutsideTheirStatesChangeNothing) {
    struct Case {
        std::vector<E> before;
        E event;
    };
    const std::vector<Case> cases = {
        {{}, E::userPaused},                                   // nothing runs
        {{}, E::verifyStarted},                                // nothing downloaded
        {{E::taskStarted}, E::taskStarted},                    // started once
        {{E::taskStarted, E::speedSeen}, E::roomLost},         // a running download pauses instead
        {{E::restoredFinished}, E::engineEndedTask},           // a late engine code after completion
        {{E::restoredFinished}, E::allComplete},               // already finished
        {{E::restoredFinished, E::verifyStarted}, E::allComplete},  // the check keeps its state
        {{E::restoredFinished, E::verifyStarted}, E::userPaused},
        {{E::taskStarted, E::speedSeen}, E::installBegun},     // nothing to install yet
        {{E::taskStarted, E::speedSeen}, E::speedSeen},
    };
    for (const Case& c : cases) {
        ControllerStateMachine machine;
        for (E event : c.before) machine.Apply(event);
        const S before = machine.State();
        EXPECT_FALSE(machine.Apply(c.event)) << EventName(c.event) << " in " << StateName(before);
        EXPECT_EQ(machine.State(), before) << EventName(c.event);
    }
}

TEST(ControllerStateMachine, ADiskThatRefusesWritesFailsFromAnyStateAndAnUnknownExitEndsAll) {
    for (E start : {E::taskStarted, E::restoredFinished, E::restoredRecover, E::roomLost}) {
        EXPECT_EQ(After({start, E::cannotWrite}), S::failed) << EventName(start);
        EXPECT_EQ(After({start, E::windowGoneUnexpectedly}), S::exited) << EventName(start);
    }
}

TEST(UserTexts, EveryTextIsWrittenOnceAndComposedWithItsArguments) {
    std::set<std::string> seen;
    for (int id = 0; id < static_cast<int>(UserText::count_); ++id) {
        const std::string text = SourceText(static_cast<UserText>(id));
        EXPECT_FALSE(text.empty()) << id;
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(UserText::count_));

    EXPECT_EQ(ComposeText(UserText::engineErrorCode, {}, {"-107"}), "ErrorCode : -107");
    EXPECT_EQ(ComposeText(UserText::hoursMinutes, {}, {"1", "0"}), "1 小时 0 分钟");
    EXPECT_EQ(ComposeText(UserText::machineIdLine, {}, {"0x1, 0x2"}), "\n（0x1, 0x2）");
    // An argument is inserted as it is, even when it looks like a place-holder.
    EXPECT_EQ(ComposeText(UserText::rowVerifying, {}, {"%2 50%"}), "验证中：%2 50%");
    // A missing argument leaves its place-holder visible rather than inventing one.
    EXPECT_EQ(ComposeText(UserText::engineErrorCode), "ErrorCode : %1");

    const TextTranslator english = [](const char* source) {
        const std::string text = source;
        if (text == SourceText(UserText::minutesSeconds)) return std::string("%2 s after %1 min");
        return text;
    };
    EXPECT_EQ(ComposeText(UserText::minutesSeconds, english, {"3", "4"}), "4 s after 3 min")
        << "a translation may reorder its arguments";
    EXPECT_EQ(ComposeText(UserText::downloadErrorRetry, english), "下载出错，请重试") << "untranslated stays as written";
}

}  // namespace
}  // namespace veldmoor
