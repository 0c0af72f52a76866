#pragma once
// The download the user sees: one installer download as a state machine over
// the engine task, with start-up recovery, the resource list, verification and
// repair, installing and exiting. No window of its own: it reaches its front
// end through IControllerView and is driven by its owner.
//
// Threads: the owner calls everything from one thread (its "window thread")
// and drives Poll every 100 ms and Tick every second. The verify and
// resource-list threads run inside the controller and post what they found;
// Poll acts on it. The getters below may be called from any thread.
#include <cstdint>
#include <memory>
#include <string>

#include "app/UserTexts.h"
#include "engine/SpeedLimit.h"

namespace veldmoor {

struct ProductProfile;
class IEventSink;
class IPortMapping;
class IControllerView;
class ITaskEngine;

// Numbers are fixed: front ends compare them and logs print their names.
enum class DownloadState : int32_t {
    back = 0,           // nothing started and the disk lacks room
    ready = 1,          // nothing started; the main button starts
    preparing = 3,      // task just created, no transfer seen yet
    downloading = 4,    // bytes arrive (above 1024 bytes per second)
    pause = 5,          // paused by the user or the disk-space rule
    resume = 6,         // continued, no transfer seen yet
    failed = 7,         // download or repair failed for good
    finished = 8,       // every task complete
    retry = 9,          // never entered; counted among the active states
    md5checking = 10,   // the MD5 of the finished file is being computed
    checkrecover = 11,  // a damaged file is being repaired
    checkfinished = 12, // the file passed verification
    installing = 13,    // the installer is being launched
    recover = 15,       // start-up restored partial data
    reload = 16,        // start-up found the target file and re-checks it
    exited = 17,        // going down without a user's exit
};

// What a press of the main button did, for front ends that act on it.
enum class ButtonOutcome {
    nothing,            // no action in this state, or a notice said why not
    started,            // the engine task was created
    noRoom,             // the save folder lacks room; nothing started
    startFailed,        // the engine or the task could not be started
    paused,
    continued,
    verifying,          // the check of the finished file runs
    installLaunched,    // the installer runs; the window is being destroyed
    installerMissing,   // no installer at its place
    installerWontOpen,  // the launch failed
};

// The log name of a state ("back", "ready", ...); "" for installing, exited.
const char* StateName(DownloadState state);

// Where the controller keeps and looks for its files. Tests point these at
// temporary folders; the real program takes them from the platform.
struct ControllerPaths {
    std::string dataRoot;         // application-data folder; the data directory goes below it
    std::string tempFolder;       // fallback for released files
    std::string defaultSaveRoot;  // user's download folder; default save directory = + "/" + save folder name
    std::string linkFileFolder;   // where "VeldmoorTaskLink.ini" is read (the working folder)
};

// The platform's folders for the real program (XDG data folder, $TEMP, the
// user's download folder, the current working folder).
ControllerPaths DefaultControllerPaths();

class DownloadController {
public:
    DownloadController(const ProductProfile& profile, IEventSink& events,
                       IPortMapping& portMapping, IControllerView& view,
                       ControllerPaths paths);
    // The same with another engine in place of the process's one (tests).
    DownloadController(const ProductProfile& profile, IEventSink& events,
                       IPortMapping& portMapping, IControllerView& view,
                       ControllerPaths paths, ITaskEngine& engine);
    ~DownloadController();
    DownloadController(const DownloadController&) = delete;
    DownloadController& operator=(const DownloadController&) = delete;

    // Decodes the built-in values; call before Initialise.
    void LoadDefaults();
    // Start-up: -2 the statistics configuration could not be released (close
    // the window), 0 nothing to resume (show start), 1 a task was restored
    // (show pause).
    int Initialise();

    // The texts the controller composes go through this (the front end's
    // translation); without one they are shown as written.
    void SetTextTranslator(TextTranslator translate);

    // Start, pause, continue, verify question or install, by state.
    ButtonOutcome OnMainButton();
    // Every 100 ms; returns the state.
    DownloadState Poll();
    // Every second, while the owner's copy of the state is neither finished
    // nor checkfinished.
    void Tick();
    // Once a second from the owner's tick (and on repaint): the speed text.
    std::string RefreshSpeed();

    // Verification (also from the finished-state question).
    void StartVerify(bool installAfterCheck);

    // Settings.
    void SetSavePath(const std::string& directory);  // only in back and ready
    void SetSpeedLimit(SpeedLimit limit);
    void SetP2P(bool enable);
    void SetShutdownAfterDownload(bool enable);

    // Close choice remembered in the task file: -1 no task file, 0 ask,
    // 1 minimise to the tray, 2 exit.
    int ReadCloseSelection() const;
    void WriteCloseSelection(unsigned choice);

    // Exit handling. The owner calls OnWindowDestroyed once its window is gone;
    // it raises the exit events and shuts the engine down.
    void RequestExit();
    void ClearExitRequest();
    bool ExitRequested() const;
    void OnWindowDestroyed();

    // Reading, any thread.
    DownloadState State() const;
    bool DiskLow() const;
    int TaskCount() const;
    uint32_t ProgressPermyriad() const;
    uint32_t VerifyPermyriad() const;
    uint32_t RepairPermyriad() const;
    uint32_t RepairSpeed() const;          // bytes per second of the running repair
    bool Md5MismatchSeen() const;          // "repaired" rather than "verified"
    bool InstallerLaunched() const;

    std::string SizeText() const;          // "1.2 GB/1.9 GB"
    std::string RemainingTimeText();       // "" in states without a transfer
    std::string ProgressText() const;      // "45.67%"
    std::string TaskName(int task) const;  // the installer's file name
    std::string TaskRowStatus(int task) const;
    std::string VersionText() const;
    std::string SaveDirectory() const;
    std::string InstallerPath() const;     // save directory + entrance
    std::string Caption() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veldmoor
