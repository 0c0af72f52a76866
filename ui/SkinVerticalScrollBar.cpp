#include "ui/SkinVerticalScrollBar.h"

#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

namespace veldmoor::ui {

SkinVerticalScrollBar::SkinVerticalScrollBar(QScrollBar* target, QWidget* parent)
    : QWidget(parent), target_(target) {
    setFixedWidth(kWidth);
    connect(&repeat_, &QTimer::timeout, this, [this] {
        if (repeat_.interval() != kRepeatMs) repeat_.setInterval(kRepeatMs);
        StepOnce();
    });
    if (target_) {
        connect(target_, &QScrollBar::valueChanged, this, qOverload<>(&QWidget::update));
        connect(target_, &QScrollBar::rangeChanged, this, qOverload<>(&QWidget::update));
    }
}

void SkinVerticalScrollBar::SetBitmaps(const QImage& track, const QImage& thumb) {
    track_ = track;
    thumb_ = thumb;
    update();
}

bool SkinVerticalScrollBar::ThumbVisible() const { return target_ && target_->maximum() > target_->minimum(); }

int SkinVerticalScrollBar::ThumbHeight() const {
    return thumb_.isNull() ? 49 : qRound(thumb_.deviceIndependentSize().height());
}

int SkinVerticalScrollBar::ThumbPosition() const {
    if (!ThumbVisible()) return 0;
    const int range = target_->maximum() - target_->minimum();
    const int travel = std::max(0, height() - ThumbHeight());
    return static_cast<int>(static_cast<long long>(target_->value() - target_->minimum()) * travel / range);
}

void SkinVerticalScrollBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (!track_.isNull()) painter.drawImage(rect(), track_);
    if (ThumbVisible() && !thumb_.isNull()) painter.drawImage(QPoint(0, ThumbPosition()), thumb_);
}

void SkinVerticalScrollBar::StepOnce() {
    if (!target_) return;
    target_->triggerAction(direction_ < 0 ? QAbstractSlider::SliderSingleStepSub
                                          : QAbstractSlider::SliderSingleStepAdd);
}

void SkinVerticalScrollBar::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !ThumbVisible()) return;
    const int y = static_cast<int>(event->position().y());
    const int thumbTop = ThumbPosition();
    const int thumbBottom = thumbTop + ThumbHeight();
    if (y >= thumbTop && y < thumbBottom) return;
    direction_ = y < thumbTop ? -1 : 1;
    StepOnce();
    repeat_.start(kFirstRepeatMs);
}

void SkinVerticalScrollBar::mouseReleaseEvent(QMouseEvent*) { repeat_.stop(); }

}  // namespace veldmoor::ui
