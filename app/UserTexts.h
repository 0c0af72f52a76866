#pragma once
// Every text the user sees, in one table. The texts are the untranslated
// (Chinese) sources; a front end with translations hands the controller a
// TextTranslator that looks each source up (the Qt window translates with
// the context "UserTexts"), and a front end without one shows them as they
// are. Front ends tell texts apart by their UserText value, never by
// comparing the words.
#include <functional>
#include <initializer_list>
#include <string>

namespace veldmoor {

enum class UserText {
    // Notices and messages of the controller.
    verifyQuestion,
    noFileSizeTimeout,
    diskFullRestart,
    downloadErrorRetry,
    diskBrokenCannotWrite,
    reserveLowPaused,
    diskLowChooseOther,         // the disk-space rule's text, with a full stop
    diskLowChooseOtherAtStart,  // the start's own text, without
    targetLost,
    startFailedRetry,
    badSourceCheckMd5,
    engineErrorCode,            // "%1": the engine's result code
    md5Busy,
    repairBusy,
    downloadFirst,
    repairFailedForGood,
    verifyThreadFailed,
    repairReloadFailed,
    installerMissing,
    // A failed launch of the installer: what happened and what to do.
    installerUnchecked,
    installerCannotMarkExecutable,
    installerRunRefused,
    installerInUse,
    installerNotRunnableHere,
    installerNoWindowsHandler,
    installerNoHandler,
    installerWontOpen,          // any other failure
    installFailedCaption,
    powerOffScheduled,
    powerOffFailed,
    machineIdLine,              // "%1": the machine identifier
    // The task list's status column.
    rowAwaitingCheck,
    rowVerified,
    rowVerifying,               // "%1": percentage
    rowRepairing,               // "%1": percentage
    rowPreparingRepair,
    rowDownloaded,
    rowPreparingDownload,
    rowNotStarted,
    // Durations and speeds.
    unknown,
    aboutYears,
    aboutMonths,
    aboutDays,
    hoursMinutes,
    seconds,
    minutesSeconds,
    // The window.
    buttonStart,
    buttonPause,
    buttonContinue,
    buttonInstall,
    buttonChange,
    buttonView,
    // What a screen reader says for a button whose picture shows no such words.
    spokenStart,
    spokenPause,
    spokenContinue,
    spokenChangeFolder,
    spokenViewFolder,
    spokenMinimise,             // the settings and close buttons say settingsTitle and closeTitle
    trayExit,
    saveLocationLabel,
    pickSaveFolder,
    saveLocationMissing,
    versionLine,                // "%1": the version; the profile gives the line whole, front ends find it by this form
    listName,
    listPercent,
    statusRepaired,
    statusVerified,
    statusDownloaded,
    statusVerifying,
    statusPreparingRepair,
    statusRepairing,
    labelVerifyProgress,
    labelRepairProgress,
    labelPreparing,
    labelProgress,
    closeTitle,
    closeQuestion,
    closeMinimise,
    closeExit,
    closeRemember,
    confirm,
    settingsTitle,
    settingsSpeed,
    settingsLimit,
    settingsAdvanced,
    settingsPowerOff,
    settingsP2P,
    settingsApply,
    speedUnit,
    spokenSpeedUp,
    spokenSpeedDown,
    spokenSpeedLimit,
    cancel,
    unlimited,
    warning,
    speedOutOfRange,
    // veldmoor-cli's own messages, which it prints after "veldmoor-cli: ".
    cliStartupFailed,           // "%1": the controller's result
    cliSaveFolderKept,          // "%1": the folder of the download on record
    cliStarting,                // "%1": the product, "%2": its version line, "%3": the installer
    cliStopping,
    cliFailedRetry,
    cliStoppedContinue,
    cliFailed,
    cliNoRoom,                  // "%1": the save folder
    cliLaunchQuestion,          // "%1": the installer
    cliDownloaded,              // "%1": the installer
    cliMd5Matches,
    cliLaunched,                // "%1": the installer
    cliTally,                   // "%1", "%3": sizes; "%2", "%4": their bytes; "%5": seconds
    cliYes,
    cliNo,
    cliAnsweredByOption,        // "%1": the question, "%2": the answer
    cliAnsweredWithoutTerminal, // "%1": the question, "%2": the answer
    // veldmoor-cli's status line.
    cliStatusVerify,            // "%1": percentage
    cliStatusRepair,            // "%1": percentage
    cliStatusTimeLeft,          // "%1": the time left
    cliStatusDiskLow,
    count_
};

// The untranslated source of a text.
const char* SourceText(UserText text);

// Turns a source text into the user's language; empty: shown as written.
using TextTranslator = std::function<std::string(const char* source)>;

// The text in the user's language, with "%1", "%2", ... replaced by the
// arguments in order.
std::string ComposeText(UserText text, const TextTranslator& translate = {},
                        std::initializer_list<std::string> arguments = {});

}  // namespace veldmoor
