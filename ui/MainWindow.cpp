#include "ui/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QHelpEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QSystemTrayIcon>
#include <QToolTip>
#include <QWindow>

#include "app/DisplayFormat.h"
#include "app/ProductProfile.h"
#include "ui/Artwork.h"
#include "ui/CloseChoiceDialog.h"
#include "ui/DesktopShell.h"
#include "ui/PictureButton.h"
#include "ui/SkinListCtrl.h"
#include "ui/SkinVerticalScrollBar.h"
#include "i18n/Language.h"

namespace veldmoor::ui {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

// A text of the product profile (its name, its version line) in the player's language.
QString T(const std::string& text) { return i18n::Translate(text); }

// Region rows of the compact background that hold its cut bottom corners.
constexpr int kCornerFirstRow = 283;
constexpr int kCornerLastRow = 308;

// Free space kept between two texts that grew towards each other.
constexpr int kTextGap = 3;
// How far the version text may grow: the save label's place begins at 190.
constexpr int kVersionRightLimit = 186;

bool InToggleArea(const QPoint& point) {
    return point.x() > 185 && point.x() <= 217 && point.y() > 277 && point.y() <= 307;
}

}  // namespace

MainWindow::MainWindow(const WindowDependencies& dependencies)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint),
      dependencies_(dependencies),
      bitmaps_(dependencies.resourceFolder, T(dependencies.profile->caption), qApp->devicePixelRatio()) {
    setObjectName(QStringLiteral("mainWindow"));
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(false);
    if (dependencies_.engine != nullptr)
        controller_ = std::make_unique<DownloadController>(*dependencies_.profile, *dependencies_.events,
                                                           *dependencies_.portMapping, *this, dependencies_.paths,
                                                           *dependencies_.engine);
    else
        controller_ = std::make_unique<DownloadController>(*dependencies_.profile, *dependencies_.events,
                                                           *dependencies_.portMapping, *this, dependencies_.paths);
    controller_->SetTextTranslator(i18n::ControllerTranslator());
    pollTimer_.setInterval(kPollMs);
    tickTimer_.setInterval(kTickMs);
    connect(&pollTimer_, &QTimer::timeout, this, &MainWindow::OnPoll);
    connect(&tickTimer_, &QTimer::timeout, this, &MainWindow::OnTick);
    CreateControls();
}

MainWindow::~MainWindow() {
    // The controller's threads may still reach us as its view; it goes first.
    if (!destroyed_ && startedUp_) RunDestroyHandling();
    controller_.reset();
}

void MainWindow::SkinButton(PictureButton* button, const int (&numbers)[4], const QRect& place, bool cutKeyColour) {
    const QImage& normal = bitmaps_.ByNumber(numbers[0]);
    button->SetBitmaps(normal, bitmaps_.ByNumber(numbers[1]), bitmaps_.ByNumber(numbers[2]),
                       numbers[3] != 0 ? bitmaps_.ByNumber(numbers[3]) : QImage());
    button->move(place.topLeft());
    if (cutKeyColour) {
        button->SetTransparentColour(kKeyColour);
        button->setMask(RegionWithoutColour(normal, kKeyColour));
    }
}

void MainWindow::CreateControls() {
    const std::array<const int (*)[4], kButtonCount> numbers = {&bitmap::kStart, &bitmap::kPause, &bitmap::kContinue,
                                                               &bitmap::kInstall, &bitmap::kFolder, &bitmap::kFolder};
    const std::array<const char*, kButtonCount> names = {"startButton",  "pauseButton",        "continueButton",
                                                         "installButton", "changeFolderButton", "viewFolderButton"};
    // What a screen reader says for each; the folder buttons show only an icon.
    const std::array<UserText, kButtonCount> spoken = {UserText::spokenStart,    UserText::spokenPause,
                                                       UserText::spokenContinue, UserText::buttonInstall,
                                                       UserText::spokenChangeFolder, UserText::spokenViewFolder};
    const std::array<UserText, kButtonCount> captions = {UserText::buttonStart,   UserText::buttonPause,
                                                         UserText::buttonContinue, UserText::buttonInstall,
                                                         UserText::buttonChange,  UserText::buttonView};
    for (int index = 0; index < kButtonCount; ++index) {
        auto* button = new PictureButton(this);
        button->setObjectName(QString::fromLatin1(names[static_cast<size_t>(index)]));
        button->setText(i18n::Translated(captions[static_cast<size_t>(index)]));
        button->setAccessibleName(i18n::Translated(spoken[static_cast<size_t>(index)]));
        const bool main = index <= static_cast<int>(ButtonId::kInstall);
        SkinButton(button, *numbers[static_cast<size_t>(index)], main ? kMainButtonRect : kFolderButtonRect, main);
        mainButtons_[static_cast<size_t>(index)] = button;
        if (main)
            connect(button, &QAbstractButton::clicked, this, &MainWindow::OnMainButton);
        else
            connect(button, &QAbstractButton::clicked, this, &MainWindow::OnFolderCommand);
    }
    auto captionButton = [this](const char* name, const QString& text, const QString& spokenName,
                                const int (&set)[4], int left) {
        auto* button = new PictureButton(this);
        button->setObjectName(QString::fromLatin1(name));
        button->setText(text);
        button->setAccessibleName(spokenName);
        SkinButton(button, set, QRect(left, 10, 25, 25), false);
        return button;
    };
    settingsButton_ = captionButton("settingsButton", QStringLiteral("o"), i18n::Translated(UserText::settingsTitle), bitmap::kSettings, 318);
    minimiseButton_ = captionButton("minimiseButton", QStringLiteral("-"), i18n::Translated(UserText::spokenMinimise), bitmap::kMinimise, 346);
    closeButton_ = captionButton("closeButton", QStringLiteral("X"), i18n::Translated(UserText::closeTitle), bitmap::kClose, 374);
    connect(settingsButton_, &QAbstractButton::clicked, this, &MainWindow::OpenSettings);
    connect(minimiseButton_, &QAbstractButton::clicked, this, &QWidget::showMinimized);
    connect(closeButton_, &QAbstractButton::clicked, this, &MainWindow::OnCloseButton);

    taskList_ = new SkinListCtrl(this);
    taskList_->setObjectName(QStringLiteral("taskList"));
    taskList_->ScrollBar()->SetBitmaps(bitmaps_.ByNumber(bitmap::kScrollTrack),
                                       bitmaps_.ByNumber(bitmap::kScrollThumb));
    taskList_->setGeometry(EdgeRect(0, 342, 408, 420));
    taskList_->hide();
    SyncButtons();
}

bool MainWindow::StartUp() {
    resize(kCompactWidth, kCompactHeight);
    const QString caption = T(dependencies_.profile->caption);
    setWindowTitle(caption);
    setWindowIcon(QIcon(QPixmap::fromImage(bitmaps_.ByNumber(bitmap::kIcon))));

    controller_->LoadDefaults();
    RefreshListRows();
    controller_->SetShutdownAfterDownload(false);
    startupResult_ = controller_->Initialise();
    if (startupResult_ < 0) {
        RunDestroyHandling();
        return false;
    }
    startedUp_ = true;
    ApplyStartupResult(board_, startupResult_);
    startupButton_ = startupResult_ == 1 ? ButtonId::kPause : ButtonId::kStart;
    shownState_ = controller_->State();
    SyncButtons();

    saveDirectory_ = Q(controller_->SaveDirectory());
    if (saveDirectory_.isEmpty()) saveDirectory_ = FallbackSaveDirectory();
    versionText_ = T(controller_->VersionText());
    sizeText_ = Q(controller_->SizeText());
    ApplyCompactRegion();

    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(caption);
    trayMenu_ = new QMenu(this);
    trayMenu_->setObjectName(QStringLiteral("trayMenu"));
    QAction* exitAction = trayMenu_->addAction(i18n::Translated(UserText::trayExit));
    // The right click asks for the exit before its menu opens; the menu's item
    // then arrives as the window's cancel.
    connect(trayMenu_, &QMenu::aboutToShow, this, [this] { controller_->RequestExit(); });
    connect(exitAction, &QAction::triggered, this, &MainWindow::OnCancel);
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::DoubleClick) RestoreFromTray();
    });

    pollTimer_.start();
    tickTimer_.start();
    return true;
}

QString MainWindow::FallbackSaveDirectory() const {
    return Q(dependencies_.paths.defaultSaveRoot) + QLatin1Char('/') + Q(dependencies_.profile->saveFolderName);
}

void MainWindow::ApplyCompactRegion() {
    region_ = RegionWithoutColour(bitmaps_.Background(false), kKeyColour, kCornerFirstRow, kCornerLastRow);
    setMask(region_);
}

void MainWindow::SyncButtons() {
    for (int index = 0; index < kButtonCount; ++index) {
        const ButtonStatus& status = board_.buttons[static_cast<size_t>(index)];
        PictureButton* button = mainButtons_[static_cast<size_t>(index)];
        button->setEnabled(status.enabled);
        button->setVisible(status.visible);
    }
}

// ---- The two ticks ----

void MainWindow::OnPoll() {
    if (destroyed_) return;
    const DownloadState state = controller_->Poll();
    const bool verifying = ShowsVerifyBar(state);
    const uint32_t progress = controller_->ProgressPermyriad();
    const uint32_t verify = verifying ? controller_->VerifyPermyriad() : 0;
    const bool stateChanged = state != drawnState_;
    if (stateChanged || progress != drawnProgress_ || verify != drawnVerify_) {
        drawnProgress_ = progress;
        drawnVerify_ = verify;
        drawnState_ = state;
        update(kBarRect);
    }
    if (stateChanged) {
        // The status line switches between result and speed texts.
        sizeText_ = Q(controller_->SizeText());
        update(kResultRect.united(kSizeRect));
    }
    shownState_ = state;
    const bool diskLow = controller_->DiskLow();
    if (!buttonsEverUpdated_ || state != buttonsState_ || diskLow != buttonsDiskLow_) {
        buttonsEverUpdated_ = true;
        buttonsState_ = state;
        buttonsDiskLow_ = diskLow;
        ApplyState(board_, state, diskLow, startupButton_);
        SyncButtons();
    }
}

void MainWindow::OnTick() {
    if (destroyed_) return;
    update(kResultRect);
    if (shownState_ != DownloadState::finished && shownState_ != DownloadState::checkfinished) {
        controller_->Tick();
        speedText_ = Q(controller_->RefreshSpeed());
        sizeText_ = Q(controller_->SizeText());
        remainingText_ = Q(controller_->RemainingTimeText());
        if (shownState_ == DownloadState::checkrecover) ++repairDrawing_;
        update(kSpeedRect.united(kSizeRect).united(kLabelRect).united(kPercentRect));
    }
    RefreshListRows();
}

void MainWindow::RefreshListRows() {
    const int count = controller_->TaskCount();
    for (int task = 0; task < count; ++task)
        taskList_->SetRow(task, Q(controller_->TaskName(task)), Q(controller_->TaskRowStatus(task)));
}

// ---- Painting ----

QFont MainWindow::TextFont() {
    QFont font(WindowFontFamily());
    // The layout's text height of 18 is a cell height; this is its em size.
    font.setPixelSize(13);
    return font;
}

QString MainWindow::SaveLabelText() const { return i18n::Translated(UserText::saveLocationLabel); }

PaintedTexts MainWindow::CurrentPaintedTexts() const {
    return {versionText_, SaveLabelText(), sizeText_, CurrentTexts()};
}

TextPlaces MainWindow::PlacesFor(const PaintedTexts& texts) {
    const QFontMetrics metrics(TextFont());
    const auto width = [&metrics](const QString& text) { return metrics.horizontalAdvance(text); };
    TextPlaces places;
    places.result = kResultRect;
    places.size = kSizeRect;
    // Left-aligned: its text's own width, which leaves the rest to the speed.
    places.size.setRight(kSizeRect.left() + width(texts.size));
    places.version = kVersionRect;
    places.version.setRight(
        std::min(kVersionRightLimit, std::max(kVersionRect.right(), kVersionRect.left() + width(texts.version))));
    // The save label ends where the save folder begins and grows to the left.
    places.saveLabel = kSaveLabelRect;
    places.saveLabel.setLeft(std::min(kSaveLabelRect.left(), kSaveLabelRect.right() - width(texts.saveLabel)));
    // The percentage keeps its right edge and the label sits just left of its
    // text; the speed ends before the label and may grow to the left into
    // the room the size text leaves.
    const StatusTexts& status = texts.status;
    places.percentage = kPercentRect;
    places.percentage.setLeft(std::min(kPercentRect.left(), kPercentRect.right() - width(status.percentage)));
    const int percentageTextLeft = places.percentage.center().x() - width(status.percentage) / 2;
    places.label = kLabelRect;
    places.label.setRight(std::min(kLabelRect.right(), percentageTextLeft - kTextGap));
    places.label.setLeft(std::min(kLabelRect.left(), places.label.right() - width(status.label)));
    places.speed = kSpeedRect;
    places.speed.setRight(places.label.left() - kTextGap);
    places.speed.setLeft(std::max(places.size.right() + kTextGap,
                                  std::min(kSpeedRect.left(), places.speed.right() - width(status.speed))));
    return places;
}

StatusTexts MainWindow::CurrentTexts() const {
    StatusInput input;
    input.state = shownState_;
    input.speedText = speedText_;
    input.progress = controller_->ProgressPermyriad();
    input.verifyProgress = controller_->VerifyPermyriad();
    input.repairProgress = controller_->RepairPermyriad();
    input.repairSpeedText = Q(FormatSpeed(controller_->RepairSpeed(), i18n::ControllerTranslator()));
    input.md5MismatchSeen = controller_->Md5MismatchSeen();
    input.repairDrawing = repairDrawing_;
    return ComposeStatusTexts(input);
}

std::pair<int, int> MainWindow::BarFills() const {
    const int width = kBarRect.width();
    const int download = FillWidth(width, controller_->ProgressPermyriad() / 100.0);
    const int verify = ShowsVerifyBar(shownState_) ? FillWidth(width, controller_->VerifyPermyriad() / 100.0) : 0;
    return {download, verify};
}

void MainWindow::PaintBar(QPainter& painter) {
    const bool verifying = ShowsVerifyBar(shownState_);
    if (!verifying) {
        const QImage& track = bitmaps_.ByNumber(bitmap::kProgressTrack);
        painter.drawImage(kBarRect.topLeft(), track);
    }
    const auto [download, verify] = BarFills();
    if (download > 0) {
        const QImage& fill = bitmaps_.ByNumber(bitmap::kDownloadFill);
        painter.drawImage(QRectF(kBarRect.topLeft(), QSizeF(download, kBarRect.height())), fill,
                          QRectF(0, 0, download * fill.devicePixelRatio(), fill.height()));
    }
    if (verifying && verify > 0) {
        const QImage& fill = bitmaps_.ByNumber(bitmap::kVerifyFill);
        painter.drawImage(QRectF(kBarRect.topLeft(), QSizeF(verify, kBarRect.height())), fill,
                          QRectF(0, 0, verify * fill.devicePixelRatio(), fill.height()));
    }
}

void MainWindow::PaintStatusLine(QPainter& painter, const StatusTexts& texts, const TextPlaces& places) {
    const int single = Qt::TextSingleLine | Qt::AlignVCenter;
    if (texts.resultShown) {
        painter.setPen(kPercentColour);
        painter.drawText(places.result, single | Qt::AlignHCenter, texts.result);
        return;
    }
    painter.setPen(texts.speedColour);
    painter.drawText(places.speed, single | Qt::AlignLeft, texts.speed);
    painter.setPen(kInkColour);
    painter.drawText(places.label, single | Qt::AlignLeft, texts.label);
    painter.setPen(kPercentColour);
    painter.drawText(places.percentage, single | Qt::AlignHCenter, texts.percentage);
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), bitmaps_.Background(expanded_));
    painter.setFont(TextFont());
    const PaintedTexts texts = CurrentPaintedTexts();
    const TextPlaces places = PlacesFor(texts);
    const int single = Qt::TextSingleLine | Qt::AlignVCenter | Qt::AlignLeft;
    PaintStatusLine(painter, texts.status, places);
    painter.setPen(kVersionColour);
    painter.drawText(places.version, single, texts.version);
    painter.setPen(kInkColour);
    painter.drawText(places.size, single, texts.size);
    painter.setPen(kSaveDirectoryColour);
    painter.drawText(kSaveDirectoryRect, single,
                     painter.fontMetrics().elidedText(saveDirectory_, Qt::ElideMiddle, kSaveDirectoryRect.width()));
    PaintBar(painter);
    painter.setPen(kInkColour);
    painter.drawText(places.saveLabel, Qt::TextSingleLine | Qt::AlignVCenter | Qt::AlignRight, texts.saveLabel);
}

// The time left has no place of its own in the layout: it shows as the
// status line's tooltip.
bool MainWindow::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        if (kSpeedRect.united(kPercentRect).contains(help->pos()) && !remainingText_.isEmpty())
            QToolTip::showText(help->globalPos(), remainingText_, this);
        else
            QToolTip::hideText();
        return true;
    }
    return QWidget::event(event);
}

// ---- Mouse and keys ----

void MainWindow::mousePressEvent(QMouseEvent* event) {
    const QPoint point = event->position().toPoint();
    if (event->button() == Qt::LeftButton && kCaptionBand.contains(point)) {
        // The caption band moves the window: through the window manager when
        // it can, by hand otherwise.
        if (windowHandle() == nullptr || !windowHandle()->startSystemMove()) {
            dragging_ = true;
            dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
        }
        return;
    }
    QWidget::mousePressEvent(event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
    if (dragging_ && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - dragOffset_);
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void MainWindow::mouseReleaseEvent(QMouseEvent* event) {
    dragging_ = false;
    if (event->button() == Qt::LeftButton && InToggleArea(event->position().toPoint())) {
        ToggleForm();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape || event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (destroyed_) {
        event->accept();
        return;
    }
    event->ignore();
    OnCancel();
}

// ---- Commands ----

void MainWindow::OnMainButton() {
    if (destroyed_) return;
    const DownloadState before = controller_->State();
    controller_->OnMainButton();
    if (destroyed_) return;
    // Start shows pause at once, unless the disk is too full to start.
    if ((before == DownloadState::back || before == DownloadState::ready) &&
        sender() == Button(ButtonId::kStart) && !controller_->DiskLow()) {
        board_[ButtonId::kPause].visible = true;
        board_[ButtonId::kStart].visible = false;
        SyncButtons();
    }
    update();
}

void MainWindow::OnFolderCommand() {
    const QString folderName = Q(dependencies_.profile->saveFolderName);
    switch (shownState_) {
    case DownloadState::back:
    case DownloadState::ready: {
        QString initial = saveDirectory_;
        if (initial.endsWith(QLatin1Char('/') + folderName)) initial.chop(folderName.size() + 1);
        const QString chosen =
            dependencies_.shell->PickFolder(this, i18n::Translated(UserText::pickSaveFolder), initial);
        if (chosen.isEmpty()) return;
        shownState_ = DownloadState::ready;
        saveDirectory_ = chosen + (chosen.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + folderName;
        update(kSaveDirectoryRect);
        controller_->SetSavePath(saveDirectory_.toStdString());
        return;
    }
    case DownloadState::finished:
    case DownloadState::md5checking:
    case DownloadState::checkrecover:
    case DownloadState::checkfinished: {
        const QString installer = Q(controller_->InstallerPath());
        if (!saveDirectory_.isEmpty() || installer.isEmpty()) {
            if (!installer.isEmpty() && QFileInfo::exists(installer))
                dependencies_.shell->ShowFileInFolder(installer);
            else if (!dependencies_.shell->OpenFolder(saveDirectory_))
                ShowNoticeNow(T(controller_->Caption()), i18n::Translated(UserText::saveLocationMissing));
        } else {
            ShowNoticeNow(T(controller_->Caption()), i18n::Translated(UserText::saveLocationMissing));
        }
        return;
    }
    default:
        if (saveDirectory_.isEmpty())
            ShowNoticeNow(T(controller_->Caption()), i18n::Translated(UserText::saveLocationMissing));
        else
            dependencies_.shell->OpenFolder(saveDirectory_);
        return;
    }
}

void MainWindow::OpenSettings() {
    SettingsDialog dialog(settings_, this);
    connect(&dialog, &SettingsDialog::SpeedLimitChosen, this, &MainWindow::ApplySpeedLimit, Qt::QueuedConnection);
    connect(&dialog, &SettingsDialog::ShutdownChosen, this, &MainWindow::ApplyShutdown, Qt::QueuedConnection);
    connect(&dialog, &SettingsDialog::P2PChosen, this, &MainWindow::ApplyP2P, Qt::QueuedConnection);
    dialog.exec();
}

void MainWindow::ApplySpeedLimit(uint32_t kibPerSecond) {
    settings_.speedLimit = kibPerSecond;
    controller_->SetSpeedLimit(SpeedLimitFromKiB(kibPerSecond));
}

void MainWindow::ApplyShutdown(bool enable) {
    settings_.shutdownAfterDownload = enable;
    controller_->SetShutdownAfterDownload(enable);
}

void MainWindow::ApplyP2P(bool enable) {
    settings_.p2p = enable;
    controller_->SetP2P(enable);
}

void MainWindow::RememberCloseChoice(unsigned choice) { controller_->WriteCloseSelection(choice); }

void MainWindow::RunChoice(int choice) {
    if (choice == CloseChoiceDialog::kMinimiseToTray) {
        MinimiseToTray();
    } else if (choice == CloseChoiceDialog::kExit) {
        controller_->RequestExit();
        RunDestroyHandling();
    }
}

void MainWindow::OnCloseButton() {
    if (destroyed_) return;
    const int remembered = controller_->ReadCloseSelection();
    if (remembered == CloseChoiceDialog::kMinimiseToTray || remembered == CloseChoiceDialog::kExit) {
        RunChoice(remembered);
        return;
    }
    CloseChoiceDialog dialog(this);
    // Written before the choice is acted on: an exit must not lose it.
    connect(&dialog, &CloseChoiceDialog::RememberChoice, this, &MainWindow::RememberCloseChoice);
    RunChoice(dialog.exec());
}

void MainWindow::OnCancel() {
    if (destroyed_) return;
    if (!controller_->ExitRequested()) {
        OnCloseButton();
        return;
    }
    controller_->RequestExit();
    RunDestroyHandling();
}

void MainWindow::ToggleForm() {
    if (!expanded_) {
        expanded_ = true;
        taskList_->setGeometry(EdgeRect(0, 322, 408, 400));
        taskList_->show();
        resize(kCompactWidth, kCompactHeight + kExpandedExtra);
        region_ = QRegion(rect());
        clearMask();
        update();
    } else {
        expanded_ = false;
        update();
        ApplyCompactRegion();
        resize(kCompactWidth, kCompactHeight);
        taskList_->setGeometry(EdgeRect(0, 342, 408, 420));
        taskList_->hide();
    }
}

// Without a tray to return from, hiding would lose the window: it is
// minimised instead.
void MainWindow::MinimiseToTray() {
    if (tray_ != nullptr && QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_->show();
        hide();
    } else {
        showMinimized();
    }
}

void MainWindow::RestoreFromTray() {
    controller_->ClearExitRequest();
    if (tray_ != nullptr) tray_->hide();
    BringToFront();
}

void MainWindow::BringToFront() {
    if (destroyed_) return;
    if (tray_ != nullptr) tray_->hide();
    showNormal();
    raise();
    activateWindow();
}

// ---- The controller's view ----

void MainWindow::ShowNotice(const UserMessage& notice) {
    const QString captionText = Q(notice.caption);
    const QString bodyText = Q(notice.text);
    QMetaObject::invokeMethod(
        this, [this, captionText, bodyText] { ShowNoticeNow(captionText, bodyText); }, Qt::QueuedConnection);
}

void MainWindow::ShowNoticeNow(const QString& caption, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Information, caption, text, QMessageBox::Ok, this);
    box->setObjectName(QStringLiteral("notice"));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
}

void MainWindow::ShowBlockingMessage(const UserMessage& message) {
    QMessageBox box(QMessageBox::Warning, Q(message.caption), Q(message.text), QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("blockingMessage"));
    box.exec();
}

bool MainWindow::AskYesNo(const UserMessage& question) {
    QMessageBox box(QMessageBox::Question, Q(question.caption), Q(question.text), QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setObjectName(QStringLiteral("question"));
    return box.exec() == QMessageBox::Yes;
}

void MainWindow::DestroyWindow() { RunDestroyHandling(); }

void MainWindow::PostVerifyPassed() {
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!destroyed_) controller_->OnMainButton();
        },
        Qt::QueuedConnection);
}

void MainWindow::RunDestroyHandling() {
    if (destroyed_) return;
    destroyed_ = true;
    hide();
    pollTimer_.stop();
    tickTimer_.stop();
    if (tray_ != nullptr) tray_->hide();
    bitmaps_.Clear();
    controller_->OnWindowDestroyed();
    emit WindowDestroyed();
}

}  // namespace veldmoor::ui
