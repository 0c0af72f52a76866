#pragma once
// The main window: a borderless skinned window that owns the one download
// controller, drives it with a 100 ms poll and a 1 s tick on its own thread,
// shows its state through buttons and painted texts, and forwards the user's
// commands. It is the controller's view.
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <array>
#include <memory>

#include "app/DownloadController.h"
#include "app/IControllerView.h"
#include "ui/BitmapStore.h"
#include "ui/SettingsDialog.h"
#include "ui/WindowState.h"

class QMenu;
class QSystemTrayIcon;

namespace veldmoor {
struct ProductProfile;
class IEventSink;
class IPortMapping;
class ITaskEngine;
}  // namespace veldmoor

namespace veldmoor::ui {

class DesktopShell;
class PictureButton;
class SkinListCtrl;

// What the window needs from its surroundings; all outlive the window.
struct WindowDependencies {
    const ProductProfile* profile = nullptr;
    IEventSink* events = nullptr;
    IPortMapping* portMapping = nullptr;
    ControllerPaths paths;
    DesktopShell* shell = nullptr;
    ITaskEngine* engine = nullptr;  // null: the process's engine
    QString resourceFolder;         // "res" beside the program
};

// A rectangle given as left, top, right, bottom with right and bottom outside it.
constexpr QRect EdgeRect(int left, int top, int right, int bottom) {
    return QRect(left, top, right - left, bottom - top);
}

// The texts painted on the window's background.
struct PaintedTexts {
    QString version;
    QString saveLabel;
    QString size;
    StatusTexts status;
};

// Where the painted texts go. Each starts from its place in the layout and
// grows into the free space beside it when its text needs more room (English
// is longer than Chinese): texts are laid out, never shrunk or cut.
struct TextPlaces {
    QRect version;
    QRect saveLabel;
    QRect size;
    QRect speed;
    QRect label;
    QRect percentage;
    QRect result;
};

class MainWindow : public QWidget, public IControllerView {
    Q_OBJECT
public:
    // Fixed places (window coordinates).
    static inline const QRect kMainButtonRect{318, 244, 85, 32};
    static inline const QRect kFolderButtonRect{372, 203, 26, 26};
    static inline const QRect kVersionRect{EdgeRect(9, 205, 130, 230)};
    static inline const QRect kSaveLabelRect{EdgeRect(190, 205, 250, 230)};
    static inline const QRect kSaveDirectoryRect{EdgeRect(255, 205, 367, 230)};
    static inline const QRect kSizeRect{EdgeRect(9, 260, 124, 280)};
    static inline const QRect kSpeedRect{EdgeRect(129, 260, 204, 280)};
    static inline const QRect kLabelRect{EdgeRect(209, 260, 259, 280)};
    static inline const QRect kPercentRect{EdgeRect(262, 260, 312, 280)};
    static inline const QRect kResultRect{EdgeRect(129, 260, 312, 280)};
    static inline const QRect kBarRect{EdgeRect(11, 244, 297, 256)};
    static inline const QRect kCaptionBand{0, 0, 411, 38};
    static constexpr int kPollMs = 100;
    static constexpr int kTickMs = 1000;

    explicit MainWindow(const WindowDependencies& dependencies);
    ~MainWindow() override;

    // The window's start-up: the controller's defaults and start-up, the
    // buttons, the region and the ticks. False when the start-up failed (the
    // destroy handling has then run).
    bool StartUp();

    // IControllerView.
    void ShowNotice(const UserMessage& notice) override;
    void ShowBlockingMessage(const UserMessage& message) override;
    bool AskYesNo(const UserMessage& question) override;
    void DestroyWindow() override;
    void PostVerifyPassed() override;

    // Commands.
    void OnMainButton();
    void OnFolderCommand();
    void OpenSettings();
    void OnCloseButton();
    // The dialog's cancel: the window manager's close and the tray's exit item.
    void OnCancel();
    void ToggleForm();
    void MinimiseToTray();
    void RestoreFromTray();
    // A later copy of the program asked us to come to the front.
    void BringToFront();

    // Looking in, for the application and tests.
    DownloadController& Controller() { return *controller_; }
    PictureButton* Button(ButtonId id) const { return mainButtons_[static_cast<size_t>(id)]; }
    PictureButton* SettingsButton() const { return settingsButton_; }
    PictureButton* MinimiseButton() const { return minimiseButton_; }
    PictureButton* CloseButton() const { return closeButton_; }
    SkinListCtrl* TaskList() const { return taskList_; }
    QSystemTrayIcon* TrayIcon() const { return tray_; }
    QMenu* TrayMenu() const { return trayMenu_; }
    bool Expanded() const { return expanded_; }
    bool Destroyed() const { return destroyed_; }
    DownloadState ShownState() const { return shownState_; }
    const ButtonBoard& Buttons() const { return board_; }
    StatusTexts CurrentTexts() const;
    QString SaveLabelText() const;
    PaintedTexts CurrentPaintedTexts() const;
    // Where texts are painted, and the font they are painted in.
    static TextPlaces PlacesFor(const PaintedTexts& texts);
    static QFont TextFont();
    QString SizeText() const { return sizeText_; }
    QString SaveDirectoryText() const { return saveDirectory_; }
    QString VersionText() const { return versionText_; }
    QString RemainingTimeText() const { return remainingText_; }
    QRegion WindowRegion() const { return region_; }
    const SettingsValues& Settings() const { return settings_; }
    // The fill widths last painted: download and verify.
    std::pair<int, int> BarFills() const;

signals:
    // The destroy handling has run; the program ends.
    void WindowDestroyed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool event(QEvent* event) override;

private:
    void CreateControls();
    void SkinButton(PictureButton* button, const int (&numbers)[4], const QRect& place, bool cutKeyColour);
    void ApplyCompactRegion();
    void SyncButtons();
    void OnPoll();
    void OnTick();
    void RefreshListRows();
    void RunDestroyHandling();
    void ShowNoticeNow(const QString& caption, const QString& text);
    void ApplySpeedLimit(uint32_t kibPerSecond);
    void ApplyShutdown(bool enable);
    void ApplyP2P(bool enable);
    void RememberCloseChoice(unsigned choice);
    void RunChoice(int choice);
    void PaintStatusLine(QPainter& painter, const StatusTexts& texts, const TextPlaces& places);
    void PaintBar(QPainter& painter);
    QString FallbackSaveDirectory() const;

    WindowDependencies dependencies_;
    std::unique_ptr<DownloadController> controller_;
    BitmapStore bitmaps_;
    std::array<PictureButton*, kButtonCount> mainButtons_{};
    PictureButton* settingsButton_ = nullptr;
    PictureButton* minimiseButton_ = nullptr;
    PictureButton* closeButton_ = nullptr;
    SkinListCtrl* taskList_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QTimer pollTimer_;
    QTimer tickTimer_;

    ButtonBoard board_ = InitialButtons();
    ButtonId startupButton_ = ButtonId::kStart;
    DownloadState shownState_ = DownloadState::ready;
    DownloadState buttonsState_ = DownloadState::exited;  // forces the first button update
    bool buttonsDiskLow_ = false;
    bool buttonsEverUpdated_ = false;
    int startupResult_ = 0;
    bool expanded_ = false;
    bool destroyed_ = false;
    bool startedUp_ = false;

    QString saveDirectory_;
    QString versionText_;
    QString sizeText_;
    QString speedText_ = QStringLiteral("0 B/s");
    QString remainingText_;
    unsigned repairDrawing_ = 0;
    uint32_t drawnProgress_ = 0xFFFFFFFFu;
    uint32_t drawnVerify_ = 0xFFFFFFFFu;
    DownloadState drawnState_ = DownloadState::exited;
    SettingsValues settings_;
    QRegion region_;

    bool dragging_ = false;
    QPoint dragOffset_;
};

}  // namespace veldmoor::ui
