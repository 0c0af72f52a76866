#pragma once
// What the main window shows for a controller state: which buttons are
// visible and enabled, and the texts painted in the status line. Pure
// functions over plain values, so the rules are testable without a window.
#include <QColor>
#include <QString>
#include <array>
#include <cstdint>

#include "app/DownloadController.h"

namespace veldmoor::ui {

enum class ButtonId : int { kStart = 0, kPause, kContinue, kInstall, kChangeFolder, kViewFolder };
inline constexpr int kButtonCount = 6;

struct ButtonStatus {
    bool visible = false;
    bool enabled = true;
    bool operator==(const ButtonStatus&) const = default;
};

struct ButtonBoard {
    std::array<ButtonStatus, kButtonCount> buttons{};
    ButtonStatus& operator[](ButtonId id) { return buttons[static_cast<size_t>(id)]; }
    const ButtonStatus& operator[](ButtonId id) const { return buttons[static_cast<size_t>(id)]; }
    bool operator==(const ButtonBoard&) const = default;
};

// Before start-up: only "修改" shows.
ButtonBoard InitialButtons();
// After the controller's start-up: 0 shows start, 1 shows pause.
void ApplyStartupResult(ButtonBoard& board, int startupResult);
// The button update for a state; states without a row leave the board as it is.
void ApplyState(ButtonBoard& board, DownloadState state, bool diskLow, ButtonId startupButton);

// The values the status line is painted from.
struct StatusInput {
    DownloadState state = DownloadState::ready;
    QString speedText;             // the controller's speed text
    uint32_t progress = 0;         // permyriad
    uint32_t verifyProgress = 0;
    uint32_t repairProgress = 0;
    QString repairSpeedText;       // the repair speed in the speed format
    bool md5MismatchSeen = false;
    unsigned repairDrawing = 0;    // counts drawings of the repair text
};

struct StatusTexts {
    bool resultShown = false;  // the result text instead of speed, label and percentage
    QString result;
    QString speed;
    QColor speedColour;
    QString label;
    QString percentage;
};

StatusTexts ComposeStatusTexts(const StatusInput& input);

// States in which the result text replaces the speed area.
bool ShowsResult(DownloadState state);
// States whose bar shows the verify fill over the download fill.
bool ShowsVerifyBar(DownloadState state);
// Width of a fill over a track `trackWidth` wide at `percent` (clamped to 100).
int FillWidth(int trackWidth, double percent);

// The painted colours.
inline const QColor kVersionColour(26, 92, 0);
inline const QColor kInkColour(108, 42, 17);
inline const QColor kSaveDirectoryColour(255, 255, 255);
inline const QColor kPercentColour(0, 65, 173);
inline const QColor kRepairingColour(114, 130, 145);

}  // namespace veldmoor::ui
