#include "ui/SkinListCtrl.h"

#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QTextOption>

#include "i18n/Language.h"
#include "ui/Artwork.h"
#include "ui/SkinVerticalScrollBar.h"

namespace veldmoor::ui {

QColor SkinRowDelegate::RowBackground(bool selected, bool focused, int row) {
    if (selected) return focused ? QColor(11, 75, 127) : QColor(255, 203, 129);
    return row % 2 == 0 ? QColor(19, 19, 19) : QColor(29, 25, 24);
}

QColor SkinRowDelegate::TextColour() { return {173, 50, 1}; }

void SkinRowDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    const bool focused = option.state.testFlag(QStyle::State_HasFocus) ||
                         (option.widget != nullptr && option.widget->hasFocus());
    painter->save();
    painter->fillRect(option.rect, RowBackground(selected, focused, index.row()));
    if (selected) {
        painter->setPen(QColor(214, 92, 24));
        painter->drawLine(option.rect.bottomLeft(), option.rect.bottomRight());
    }
    QFont font(WindowFontFamily());
    font.setPixelSize(13);
    painter->setFont(font);
    painter->setPen(TextColour());
    const QRect textRect = option.rect.adjusted(10, 0, 0, 0);
    const QVariant alignment = index.data(Qt::TextAlignmentRole);
    const bool right = alignment.isValid() && (alignment.toInt() & Qt::AlignRight) != 0;
    QTextOption layout(Qt::AlignVCenter | (right ? Qt::AlignRight : Qt::AlignLeft));
    layout.setWrapMode(QTextOption::NoWrap);
    layout.setFlags(QTextOption::IncludeTrailingSpaces);
    const QString text = painter->fontMetrics().elidedText(index.data().toString(), Qt::ElideRight, textRect.width());
    painter->drawText(QRectF(textRect), text, layout);
    painter->restore();
}

SkinListCtrl::SkinListCtrl(QWidget* parent) : QTreeWidget(parent) {
    setColumnCount(2);
    setHeaderLabels({i18n::Translated(UserText::listName), i18n::Translated(UserText::listPercent)});
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setItemDelegate(new SkinRowDelegate(this));
    setFrameShape(QFrame::NoFrame);
    header()->setSectionsMovable(true);
    header()->setStretchLastSection(false);
    header()->resizeSection(0, 280);
    header()->resizeSection(1, 128);
    headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    setStyleSheet(QStringLiteral(
        "QTreeWidget { background: rgb(19,19,19); border: none; }"
        "QHeaderView::section { background: rgb(46,34,28); color: rgb(232,196,160); border: none;"
        " border-right: 1px solid rgb(70,52,42); padding-left: 10px; font-family: 'Noto Sans CJK SC'; }"));
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollBar_ = new SkinVerticalScrollBar(verticalScrollBar(), this);
}

void SkinListCtrl::SetRow(int row, const QString& name, const QString& status) {
    while (topLevelItemCount() <= row) {
        auto* item = new QTreeWidgetItem(this);
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    }
    QTreeWidgetItem* item = topLevelItem(row);
    if (item->text(0) != name) item->setText(0, name);
    if (item->text(1) != status) item->setText(1, status);
}

QString SkinListCtrl::RowText(int row, int column) const {
    const QTreeWidgetItem* item = topLevelItem(row);
    return item == nullptr ? QString() : item->text(column);
}

void SkinListCtrl::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    const int top = header()->isVisible() ? header()->height() : 0;
    scrollBar_->setGeometry(width() - SkinVerticalScrollBar::kWidth, top, SkinVerticalScrollBar::kWidth,
                            height() - top);
    scrollBar_->raise();
}

}  // namespace veldmoor::ui
