#pragma once
// A 3-pixel scroll bar for a list: a stretched track bitmap and a thumb bitmap
// that shows only when the list can scroll. A press above or below the thumb
// scrolls one line, and keeps scrolling while the button stays down.
#include <QImage>
#include <QPointer>
#include <QTimer>
#include <QWidget>

class QScrollBar;

namespace veldmoor::ui {

class SkinVerticalScrollBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 3;
    static constexpr int kFirstRepeatMs = 250;
    static constexpr int kRepeatMs = 50;

    SkinVerticalScrollBar(QScrollBar* target, QWidget* parent);
    void SetBitmaps(const QImage& track, const QImage& thumb);

    bool ThumbVisible() const;
    // The thumb's top, in pixels from the bar's top.
    int ThumbPosition() const;
    int ThumbHeight() const;
    bool Repeating() const { return repeat_.isActive(); }
    int RepeatInterval() const { return repeat_.interval(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void StepOnce();

    QPointer<QScrollBar> target_;
    QImage track_;
    QImage thumb_;
    QTimer repeat_;
    int direction_ = 0;  // -1 up, +1 down
};

}  // namespace veldmoor::ui
