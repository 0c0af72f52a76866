#pragma once
// The controller's state and the only way it changes: an event looked up in a
// table of the transitions this program allows. The owner's thread applies
// events; any thread may read the state.
#include <atomic>

#include "app/DownloadController.h"

namespace veldmoor {

enum class ControllerEvent {
    restoredFresh,      // start-up found nothing to resume (or lost the file)
    restoredFinished,   // start-up found the finished file
    restoredReload,     // start-up found the target file to re-check
    restoredRecover,    // start-up found partial data to resume
    taskStarted,        // the start created the engine task
    userPaused,
    userContinued,
    speedSeen,          // more than 1024 bytes a second arrive
    progressSeen,       // a just-created task reports progress
    engineEndedTask,    // no file size, or no progress and every source failed
    roomRanOut,         // disk full, or the reserve rule paused the download
    cannotWrite,        // the disk refuses writes: failed for good
    roomLost,           // not enough room for the download that has not begun
    roomRegained,
    allComplete,        // every task has all its pieces and none runs
    verifyStarted,
    repairStarted,      // the digest did not match; the task is reloaded
    repairDone,         // the repaired task is complete; the digest runs again
    verifyPassed,
    repairsExhausted,
    installBegun,
    installEndedUnverified,  // back to finished after launching (or not)
    installEndedVerified,    // back to checkfinished
    windowGoneUnexpectedly,  // the window went without the user's exit or an install
};

const char* EventName(ControllerEvent event);

class ControllerStateMachine {
public:
    DownloadState State() const { return state_.load(); }
    // The owner's thread. True when the table allows the event in the current
    // state (the state has then changed); false leaves the state as it was.
    bool Apply(ControllerEvent event);

private:
    std::atomic<DownloadState> state_{DownloadState::ready};
};

}  // namespace veldmoor
