#pragma once
// Asked when the close button is pressed and no choice is remembered:
// minimise to the tray (1) or exit (2); "记住我的选择" sends the choice to be
// remembered. The dialog's result is the choice, 0 when it was dismissed.
#include <QDialog>

class QCheckBox;
class QRadioButton;

namespace veldmoor::ui {

class CloseChoiceDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMinimiseToTray = 1;
    static constexpr int kExit = 2;

    explicit CloseChoiceDialog(QWidget* parent);
    // "确定".
    void Confirm();

signals:
    void RememberChoice(unsigned choice);

private:
    QRadioButton* minimise_;
    QRadioButton* exit_;
    QCheckBox* remember_;
};

}  // namespace veldmoor::ui
