#pragma once
// A button drawn from four bitmaps: normal, pressed, hover and disabled (a
// missing one shows the normal bitmap).
#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <array>
#include <optional>

namespace veldmoor::ui {

class PictureButton : public QAbstractButton {
    Q_OBJECT
public:
    enum class Look { kNormal = 0, kPressed = 1, kHover = 2, kDisabled = 3 };

    explicit PictureButton(QWidget* parent = nullptr);

    // The four looks; a null image falls back to the normal one. With
    // `sizeToBitmap` the button takes the normal bitmap's size where it stands.
    void SetBitmaps(const QImage& normal, const QImage& pressed, const QImage& hover, const QImage& disabled,
                    bool sizeToBitmap = true);
    // Pixels of this colour show what lies below the button.
    void SetTransparentColour(const QColor& colour);

    // The look the next paint uses.
    Look CurrentLook() const;
    const QImage& Bitmap(Look look) const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void RebuildShown();

    std::array<QImage, 4> bitmaps_;
    std::array<QImage, 4> shown_;  // with the transparent colour cleared
    std::optional<QColor> transparent_;
    bool pressed_ = false;
    bool focusedByClick_ = false;
    bool hover_ = false;
};

}  // namespace veldmoor::ui
