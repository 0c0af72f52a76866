#include "ui/PictureButton.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

namespace veldmoor::ui {

PictureButton::PictureButton(QWidget* parent) : QAbstractButton(parent) {
    setAttribute(Qt::WA_Hover);
    // Reached with Tab, pressed with Space (the button's own) or Enter; a
    // mouse click does not take the focus, so the focus frame shows only for
    // the keyboard.
    setFocusPolicy(Qt::TabFocus);
}

void PictureButton::SetBitmaps(const QImage& normal, const QImage& pressed, const QImage& hover,
                               const QImage& disabled, bool sizeToBitmap) {
    bitmaps_ = {normal, pressed.isNull() ? normal : pressed, hover.isNull() ? normal : hover,
                disabled.isNull() ? normal : disabled};
    RebuildShown();
    if (sizeToBitmap && !normal.isNull()) resize(normal.deviceIndependentSize().toSize());
    update();
}

void PictureButton::SetTransparentColour(const QColor& colour) {
    transparent_ = colour;
    RebuildShown();
    update();
}

void PictureButton::RebuildShown() {
    for (size_t index = 0; index < bitmaps_.size(); ++index) {
        QImage image = bitmaps_[index].convertToFormat(QImage::Format_ARGB32);
        if (transparent_ && !image.isNull()) {
            const QRgb key = transparent_->isValid() ? transparent_->rgb() : image.pixel(0, 0);
            for (int y = 0; y < image.height(); ++y) {
                auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
                for (int x = 0; x < image.width(); ++x)
                    if ((line[x] & 0xFFFFFFu) == (key & 0xFFFFFFu)) line[x] = 0;
            }
        }
        shown_[index] = image;
    }
}

PictureButton::Look PictureButton::CurrentLook() const {
    if (pressed_ && focusedByClick_) return Look::kPressed;
    if (focusedByClick_ && !pressed_ && !hover_) return Look::kDisabled;
    if (hover_ && !pressed_ && isEnabled()) return Look::kHover;
    if (!isEnabled()) return Look::kDisabled;
    return Look::kNormal;
}

const QImage& PictureButton::Bitmap(Look look) const { return bitmaps_[static_cast<size_t>(look)]; }

QSize PictureButton::sizeHint() const {
    return bitmaps_[0].isNull() ? QSize(16, 16) : bitmaps_[0].deviceIndependentSize().toSize();
}

void PictureButton::paintEvent(QPaintEvent*) {
    const QImage& image = shown_[static_cast<size_t>(CurrentLook())];
    if (image.isNull()) return;
    QPainter painter(this);
    painter.drawImage(QPoint(0, 0), image);
    if (hasFocus()) {
        // Dots of both light and dark, so the frame shows on any artwork.
        const QRect frame = rect().adjusted(2, 2, -3, -3);
        painter.setPen(QPen(Qt::black, 1));
        painter.drawRect(frame);
        painter.setPen(QPen(Qt::white, 1, Qt::DotLine));
        painter.drawRect(frame);
    }
}

void PictureButton::keyPressEvent(QKeyEvent* event) {
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat()) {
        event->accept();
        animateClick();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void PictureButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        pressed_ = true;
        focusedByClick_ = true;
    }
    QAbstractButton::mousePressEvent(event);
}

void PictureButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = false;
    QAbstractButton::mouseReleaseEvent(event);
}

void PictureButton::enterEvent(QEnterEvent* event) {
    hover_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

// Leaving ends the click's focus too: a clicked button must not keep looking
// disabled once the pointer has gone.
void PictureButton::leaveEvent(QEvent* event) {
    hover_ = false;
    focusedByClick_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}  // namespace veldmoor::ui

namespace veldmoor::ui {

// A hidden button gets no leave event; it comes back without mouse state.
void PictureButton::hideEvent(QHideEvent* event) {
    pressed_ = false;
    hover_ = false;
    focusedByClick_ = false;
    QAbstractButton::hideEvent(event);
}

}  // namespace veldmoor::ui
