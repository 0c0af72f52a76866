#include "ui/CloseChoiceDialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "i18n/Language.h"

namespace veldmoor::ui {

CloseChoiceDialog::CloseChoiceDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(i18n::Translated(UserText::closeTitle));
    setObjectName(QStringLiteral("closeChoiceDialog"));
    auto* group = new QGroupBox(i18n::Translated(UserText::closeQuestion), this);
    minimise_ = new QRadioButton(i18n::Translated(UserText::closeMinimise), group);
    minimise_->setObjectName(QStringLiteral("minimiseChoice"));
    exit_ = new QRadioButton(i18n::Translated(UserText::closeExit), group);
    exit_->setObjectName(QStringLiteral("exitChoice"));
    minimise_->setChecked(true);
    auto* choices = new QVBoxLayout(group);
    choices->addWidget(minimise_);
    choices->addWidget(exit_);

    remember_ = new QCheckBox(i18n::Translated(UserText::closeRemember), this);
    remember_->setObjectName(QStringLiteral("rememberChoice"));
    auto* confirm = new QPushButton(i18n::Translated(UserText::confirm), this);
    confirm->setObjectName(QStringLiteral("confirmButton"));
    confirm->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(remember_);
    bottom->addStretch();
    bottom->addWidget(confirm);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(bottom);
    connect(confirm, &QPushButton::clicked, this, &CloseChoiceDialog::Confirm);
}

void CloseChoiceDialog::Confirm() {
    const int choice = minimise_->isChecked() ? kMinimiseToTray : kExit;
    if (remember_->isChecked()) emit RememberChoice(static_cast<unsigned>(choice));
    done(choice);
}

}  // namespace veldmoor::ui
