#include "ui/WindowState.h"

#include <QCoreApplication>
#include <algorithm>
#include <cmath>

#include "i18n/Language.h"

namespace veldmoor::ui {

ButtonBoard InitialButtons() {
    ButtonBoard board;
    board[ButtonId::kChangeFolder].visible = true;
    return board;
}

void ApplyStartupResult(ButtonBoard& board, int startupResult) {
    if (startupResult == 0) board[ButtonId::kStart].visible = true;
    if (startupResult == 1) board[ButtonId::kPause].visible = true;
}

namespace {

void ShowViewFolder(ButtonBoard& board) {
    board[ButtonId::kChangeFolder].visible = false;
    board[ButtonId::kViewFolder].visible = true;
}

void ShowOnlyInstall(ButtonBoard& board, bool enabled) {
    board[ButtonId::kStart].visible = false;
    board[ButtonId::kPause].visible = false;
    board[ButtonId::kContinue].visible = false;
    board[ButtonId::kInstall] = {true, enabled};
    ShowViewFolder(board);
}

}  // namespace

void ApplyState(ButtonBoard& board, DownloadState state, bool diskLow, ButtonId startupButton) {
    switch (state) {
    // Ready is treated like back: when the disk-space rule clears the flag it
    // also turns back into ready, and the start button must come back then.
    case DownloadState::back:
    case DownloadState::ready: board[ButtonId::kStart].enabled = !diskLow; break;
    case DownloadState::preparing:
        board[ButtonId::kPause] = {true, true};
        board[ButtonId::kStart].visible = false;
        board[ButtonId::kChangeFolder].enabled = false;
        break;
    case DownloadState::downloading:
    case DownloadState::resume:
        board[ButtonId::kContinue].visible = false;
        board[ButtonId::kPause] = {true, !diskLow};
        ShowViewFolder(board);
        break;
    case DownloadState::pause:
        board[ButtonId::kPause].visible = false;
        board[ButtonId::kContinue] = {true, !diskLow};
        ShowViewFolder(board);
        break;
    case DownloadState::failed:
        for (ButtonId id : {ButtonId::kPause, ButtonId::kContinue, ButtonId::kInstall, ButtonId::kStart})
            board[id].enabled = false;
        ShowViewFolder(board);
        break;
    case DownloadState::finished:
    case DownloadState::checkfinished: ShowOnlyInstall(board, true); break;
    case DownloadState::retry: board[startupButton].enabled = false; break;
    case DownloadState::md5checking:
    case DownloadState::checkrecover: ShowOnlyInstall(board, false); break;
    case DownloadState::recover:
    case DownloadState::reload:
        board[ButtonId::kPause].enabled = false;
        board[ButtonId::kChangeFolder].enabled = false;
        break;
    case DownloadState::installing:
    case DownloadState::exited: break;
    }
}

bool ShowsResult(DownloadState state) {
    return state == DownloadState::finished || state == DownloadState::checkfinished ||
           state == DownloadState::installing;
}

bool ShowsVerifyBar(DownloadState state) {
    return state == DownloadState::md5checking || state == DownloadState::checkrecover ||
           state == DownloadState::checkfinished || state == DownloadState::installing;
}

int FillWidth(int trackWidth, double percent) {
    percent = std::clamp(percent, 0.0, 100.0);
    return static_cast<int>(std::floor(trackWidth * percent / 100.0));
}

namespace {

QString Percentage(uint32_t permyriad) { return QString::asprintf("%3.2f%%", permyriad / 100.0); }

}  // namespace

StatusTexts ComposeStatusTexts(const StatusInput& input) {
    StatusTexts texts;
    const DownloadState state = input.state;
    if (ShowsResult(state)) {
        texts.resultShown = true;
        if (state == DownloadState::checkfinished)
            texts.result = input.md5MismatchSeen ? i18n::Translated(UserText::statusRepaired) : i18n::Translated(UserText::statusVerified);
        else
            texts.result = i18n::Translated(UserText::statusDownloaded);
    }
    texts.speedColour = kInkColour;
    if (state == DownloadState::md5checking) {
        texts.speed = i18n::Translated(UserText::statusVerifying);
    } else if (state == DownloadState::checkrecover) {
        if (input.repairProgress == 0) {
            texts.speed = i18n::Translated(UserText::statusPreparingRepair);
        } else if (input.repairDrawing % 12 < 4) {
            texts.speed = i18n::Translated(UserText::statusRepairing);
            texts.speedColour = kRepairingColour;
        } else {
            texts.speed = input.repairSpeedText;
        }
    } else {
        texts.speed = input.speedText;
    }
    if (state == DownloadState::md5checking || state == DownloadState::checkfinished) {
        texts.label = i18n::Translated(UserText::labelVerifyProgress);
        texts.percentage = Percentage(input.verifyProgress);
    } else if (state == DownloadState::checkrecover) {
        texts.label = i18n::Translated(UserText::labelRepairProgress);
        texts.percentage = input.repairProgress == 0 ? i18n::Translated(UserText::labelPreparing) : Percentage(input.repairProgress);
    } else {
        texts.label = i18n::Translated(UserText::labelProgress);
        texts.percentage = Percentage(input.progress);
    }
    return texts;
}

}  // namespace veldmoor::ui
