#include "app/ControllerStateMachine.h"

#include <cstdint>
#include <initializer_list>

namespace veldmoor {
namespace {

using S = DownloadState;
using E = ControllerEvent;

constexpr uint32_t Bit(S state) { return uint32_t{1} << static_cast<int32_t>(state); }
constexpr uint32_t Set(std::initializer_list<S> states) {
    uint32_t mask = 0;
    for (S state : states) mask |= Bit(state);
    return mask;
}

constexpr uint32_t kAny = ~uint32_t{0};
// The states in which the engine task is meant to transfer.
constexpr uint32_t kActive = Set({S::downloading, S::preparing, S::resume, S::retry, S::recover, S::reload});

struct Transition {
    E event;
    uint32_t from;
    S to;
};

constexpr Transition kTransitions[] = {
    {E::restoredFresh, kAny, S::ready},
    {E::restoredFinished, kAny, S::finished},
    {E::restoredReload, kAny, S::reload},
    {E::restoredRecover, kAny, S::recover},
    {E::taskStarted, Set({S::back, S::ready}), S::preparing},
    {E::userPaused, Set({S::downloading, S::resume}), S::pause},
    {E::userContinued, Set({S::pause}), S::resume},
    {E::speedSeen, kActive & ~Bit(S::downloading), S::downloading},
    {E::progressSeen, Set({S::preparing}), S::reload},
    {E::engineEndedTask, kActive, S::pause},
    {E::roomRanOut, Set({S::downloading}), S::pause},
    {E::cannotWrite, kAny, S::failed},
    {E::roomLost, Set({S::ready}), S::back},
    {E::roomRegained, Set({S::back}), S::ready},
    {E::allComplete, kActive | Set({S::pause, S::installing}), S::finished},
    {E::verifyStarted, Set({S::finished}), S::md5checking},
    {E::repairStarted, Set({S::md5checking}), S::checkrecover},
    {E::repairDone, Set({S::checkrecover}), S::md5checking},
    {E::verifyPassed, Set({S::md5checking}), S::checkfinished},
    {E::repairsExhausted, Set({S::md5checking}), S::failed},
    {E::installBegun, Set({S::finished, S::checkfinished}), S::installing},
    {E::installEndedUnverified, Set({S::installing}), S::finished},
    {E::installEndedVerified, Set({S::installing}), S::checkfinished},
    {E::windowGoneUnexpectedly, kAny, S::exited},
};

}  // namespace

const char* EventName(ControllerEvent event) {
    switch (event) {
    case E::restoredFresh: return "restoredFresh";
    case E::restoredFinished: return "restoredFinished";
    case E::restoredReload: return "restoredReload";
    case E::restoredRecover: return "restoredRecover";
    case E::taskStarted: return "taskStarted";
    case E::userPaused: return "userPaused";
    case E::userContinued: return "userContinued";
    case E::speedSeen: return "speedSeen";
    case E::progressSeen: return "progressSeen";
    case E::engineEndedTask: return "engineEndedTask";
    case E::roomRanOut: return "roomRanOut";
    case E::cannotWrite: return "cannotWrite";
    case E::roomLost: return "roomLost";
    case E::roomRegained: return "roomRegained";
    case E::allComplete: return "allComplete";
    case E::verifyStarted: return "verifyStarted";
    case E::repairStarted: return "repairStarted";
    case E::repairDone: return "repairDone";
    case E::verifyPassed: return "verifyPassed";
    case E::repairsExhausted: return "repairsExhausted";
    case E::installBegun: return "installBegun";
    case E::installEndedUnverified: return "installEndedUnverified";
    case E::installEndedVerified: return "installEndedVerified";
    case E::windowGoneUnexpectedly: return "windowGoneUnexpectedly";
    }
    return "";
}

bool ControllerStateMachine::Apply(ControllerEvent event) {
    const DownloadState from = state_.load();
    for (const Transition& transition : kTransitions) {
        if (transition.event != event || (transition.from & Bit(from)) == 0) continue;
        state_ = transition.to;
        return true;
    }
    return false;
}

}  // namespace veldmoor
