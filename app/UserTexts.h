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
    installerWontOpen,
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
    trayExit,
    saveLocationLabel,
    pickSaveFolder,
    saveLocationMissing,
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
    cancel,
    unlimited,
    warning,
    speedOutOfRange,
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
