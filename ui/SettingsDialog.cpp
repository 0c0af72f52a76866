#include "ui/SettingsDialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "i18n/Language.h"

namespace veldmoor::ui {
namespace {

QString Unlimited() { return i18n::Translated(UserText::unlimited); }
constexpr uint32_t kUnreadable = 0x10000;

QToolButton* ArrowButton(Qt::ArrowType arrow, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setArrowType(arrow);
    button->setAutoRepeat(true);
    button->setFixedSize(16, 12);
    return button;
}

}  // namespace

SettingsDialog::SettingsDialog(const SettingsValues& current, QWidget* parent) : QDialog(parent) {
    setWindowTitle(i18n::Translated(UserText::settingsTitle));
    setObjectName(QStringLiteral("settingsDialog"));

    auto* speedGroup = new QGroupBox(i18n::Translated(UserText::settingsSpeed), this);
    limitCheck_ = new QCheckBox(i18n::Translated(UserText::settingsLimit), speedGroup);
    limitCheck_->setObjectName(QStringLiteral("speedLimitCheck"));
    limitEdit_ = new QLineEdit(speedGroup);
    limitEdit_->setObjectName(QStringLiteral("speedLimitEdit"));
    limitEdit_->setFixedWidth(72);
    upButton_ = ArrowButton(Qt::UpArrow, speedGroup);
    upButton_->setAccessibleName(i18n::Translated(UserText::spokenSpeedUp));
    downButton_ = ArrowButton(Qt::DownArrow, speedGroup);
    downButton_->setAccessibleName(i18n::Translated(UserText::spokenSpeedDown));
    limitEdit_->setAccessibleName(i18n::Translated(UserText::spokenSpeedLimit));
    auto* spin = new QVBoxLayout;
    spin->setSpacing(0);
    spin->addWidget(upButton_);
    spin->addWidget(downButton_);
    auto* speedRow = new QHBoxLayout(speedGroup);
    speedRow->addWidget(limitCheck_);
    speedRow->addWidget(limitEdit_);
    speedRow->addLayout(spin);
    speedRow->addWidget(new QLabel(i18n::Translated(UserText::speedUnit), speedGroup));
    speedRow->addStretch();

    auto* advancedGroup = new QGroupBox(i18n::Translated(UserText::settingsAdvanced), this);
    shutdownCheck_ = new QCheckBox(i18n::Translated(UserText::settingsPowerOff), advancedGroup);
    shutdownCheck_->setObjectName(QStringLiteral("shutdownCheck"));
    // The P2P switch is kept but never shown; its state passes through.
    p2pCheck_ = new QCheckBox(i18n::Translated(UserText::settingsP2P), advancedGroup);
    p2pCheck_->setObjectName(QStringLiteral("p2pCheck"));
    p2pCheck_->hide();
    auto* advancedRow = new QHBoxLayout(advancedGroup);
    advancedRow->addWidget(shutdownCheck_);
    advancedRow->addStretch();

    auto* applyButton = new QPushButton(i18n::Translated(UserText::settingsApply), this);
    applyButton->setObjectName(QStringLiteral("applyButton"));
    // Enter presses the focused button; elsewhere in the dialog it applies.
    applyButton->setDefault(true);
    auto* cancelButton = new QPushButton(i18n::Translated(UserText::cancel), this);
    cancelButton->setObjectName(QStringLiteral("cancelButton"));
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(applyButton);
    buttons->addWidget(cancelButton);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(speedGroup);
    layout->addWidget(advancedGroup);
    layout->addLayout(buttons);

    connect(limitCheck_, &QCheckBox::toggled, this, &SettingsDialog::OnLimitToggled);
    connect(upButton_, &QToolButton::clicked, this, [this] { StepLimit(1); });
    connect(downButton_, &QToolButton::clicked, this, [this] { StepLimit(-1); });
    connect(applyButton, &QPushButton::clicked, this, &SettingsDialog::Apply);
    connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);

    const bool limited = current.speedLimit != 0;
    limitCheck_->setChecked(limited);
    OnLimitToggled(limited);
    if (limited) limitEdit_->setText(QString::number(current.speedLimit));
    shutdownCheck_->setChecked(current.shutdownAfterDownload);
    p2pCheck_->setChecked(current.p2p);
}

void SettingsDialog::OnLimitToggled(bool checked) {
    limitEdit_->setEnabled(checked);
    upButton_->setEnabled(checked);
    downButton_->setEnabled(checked);
    limitEdit_->setText(checked ? QString::number(kDefaultPosition) : Unlimited());
}

void SettingsDialog::StepLimit(int direction) {
    const uint32_t position = LimitPosition();
    uint32_t next = position >= kUnreadable ? kDefaultPosition : position;
    if (direction > 0 && next < kMaximumLimit) ++next;
    if (direction < 0 && next > kMinimumLimit) --next;
    next = std::clamp(next, kMinimumLimit, kMaximumLimit);
    limitEdit_->setText(QString::number(next));
}

uint32_t SettingsDialog::LimitPosition() const {
    bool ok = false;
    const uint value = limitEdit_->text().trimmed().toUInt(&ok);
    return ok ? static_cast<uint32_t>(std::min<uint>(value, 0xFFFFFFFFu)) : kUnreadable;
}

void SettingsDialog::Apply() {
    uint32_t limit = 0;
    if (limitCheck_->isChecked()) {
        const uint32_t position = LimitPosition();
        if (position > kMaximumLimit || position < kMinimumLimit) {
            QMessageBox::warning(this, i18n::Translated(UserText::warning),
                                 i18n::Translated(UserText::speedOutOfRange));
            return;
        }
        limit = position;
    }
    emit SpeedLimitChosen(limit);
    emit ShutdownChosen(shutdownCheck_->isChecked());
    emit P2PChosen(p2pCheck_->isChecked());
    accept();
}

}  // namespace veldmoor::ui
