#pragma once
// The task list: two columns ("Name" and "Percent"), rows drawn by our own
// delegate in the skin's colours, and a thin skinned scroll bar in place of
// the platform's.
#include <QStyledItemDelegate>
#include <QTreeWidget>

namespace veldmoor::ui {

class SkinVerticalScrollBar;

class SkinRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The row background for these conditions (even/odd counted from 0).
    static QColor RowBackground(bool selected, bool focused, int row);
    static QColor TextColour();
};

class SkinListCtrl : public QTreeWidget {
    Q_OBJECT
public:
    explicit SkinListCtrl(QWidget* parent = nullptr);

    // Sets row `row` (adding rows as needed) to the name and the status.
    void SetRow(int row, const QString& name, const QString& status);
    QString RowText(int row, int column) const;

    SkinVerticalScrollBar* ScrollBar() const { return scrollBar_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    SkinVerticalScrollBar* scrollBar_;
};

}  // namespace veldmoor::ui
