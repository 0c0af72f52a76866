#include "ui/CloseChoiceDialog.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace veldmoor::ui {

CloseChoiceDialog::CloseChoiceDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("关闭"));
    setObjectName(QStringLiteral("closeChoiceDialog"));
    auto* group = new QGroupBox(tr("您点击了关闭按钮，您是想："), this);
    minimise_ = new QRadioButton(tr("最小化到系统托盘，不退出程序"), group);
    minimise_->setObjectName(QStringLiteral("minimiseChoice"));
    exit_ = new QRadioButton(tr("退出程序"), group);
    exit_->setObjectName(QStringLiteral("exitChoice"));
    minimise_->setChecked(true);
    auto* choices = new QVBoxLayout(group);
    choices->addWidget(minimise_);
    choices->addWidget(exit_);

    remember_ = new QCheckBox(tr("记住我的选择"), this);
    remember_->setObjectName(QStringLiteral("rememberChoice"));
    auto* confirm = new QPushButton(tr("确定"), this);
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
