#pragma once
// The settings dialog: a download speed limit and shutting the computer down
// after the download. Its results leave as queued signals to the main window.
#include <QDialog>

class QCheckBox;
class QLineEdit;
class QToolButton;

namespace veldmoor::ui {

struct SettingsValues {
    uint32_t speedLimit = 0;  // KB/s, 0 for none
    bool shutdownAfterDownload = false;
    bool p2p = true;
};

class SettingsDialog : public QDialog {
    Q_OBJECT
public:
    static constexpr uint32_t kMinimumLimit = 10;
    static constexpr uint32_t kMaximumLimit = 30000;
    static constexpr uint32_t kDefaultPosition = 200;

    SettingsDialog(const SettingsValues& current, QWidget* parent);

    // "设置": checks the limit, sends the three results and closes; an
    // out-of-range limit shows the range notice and keeps the dialog open.
    void Apply();

signals:
    void SpeedLimitChosen(uint32_t kibPerSecond);
    void ShutdownChosen(bool enable);
    void P2PChosen(bool enable);

private:
    void OnLimitToggled(bool checked);
    void StepLimit(int direction);
    // The edit's number; above 65535 when the text is not a number.
    uint32_t LimitPosition() const;

    QCheckBox* limitCheck_;
    QLineEdit* limitEdit_;
    QToolButton* upButton_;
    QToolButton* downButton_;
    QCheckBox* shutdownCheck_;
    QCheckBox* p2pCheck_;
};

}  // namespace veldmoor::ui
