// Screenshot helper: a window with a drop-down list open and one entry's tooltip showing, as one picture.
#pragma once

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QImage>
#include <QPainter>
#include <QToolTip>
#include <QWidget>

#include <vector>

namespace shots {

inline QWidget* VisibleToolTip()
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->inherits("QTipLabel") && w->isVisible()) return w;
    return nullptr;
}

// Opens combo's list, points at entry index and shows its tooltip, then draws window, list and
// tooltip where they stand on the screen into one image (null when the tooltip did not come up).
// Top-level windows are grabbed one by one, since an offscreen screen has no picture of its own.
inline QImage ShotWithItemToolTip(QWidget* window, QComboBox* combo, int index)
{
    combo->showPopup();
    QAbstractItemView* view = combo->view();
    const QModelIndex item = combo->model()->index(index, combo->modelColumn());
    view->setCurrentIndex(item);
    view->scrollTo(item);
    QCoreApplication::processEvents();
    const QRect rect = view->visualRect(item);
    const QPoint at = view->viewport()->mapToGlobal(rect.center() + QPoint(rect.width() / 4, 0));
    QToolTip::showText(at, combo->itemData(index, Qt::ToolTipRole).toString(), view->viewport(), rect, 60000);
    QDeadlineTimer deadline(5000);
    while (!VisibleToolTip() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QWidget* tip = VisibleToolTip();
    QImage image;
    if (tip != nullptr) {
        const std::vector<QWidget*> layers = {window, view->window(), tip};
        QRect all;
        for (QWidget* w : layers) all |= QRect(w->mapToGlobal(QPoint(0, 0)), w->size());
        all.adjust(-8, -8, 8, 8);
        image = QImage(all.size(), QImage::Format_ARGB32);
        image.fill(QColor(0x3a, 0x6e, 0xa5)); // a desktop behind the windows
        QPainter p(&image);
        for (QWidget* w : layers) p.drawPixmap(w->mapToGlobal(QPoint(0, 0)) - all.topLeft(), w->grab());
    }
    QToolTip::hideText();
    combo->hidePopup();
    return image;
}

} // namespace shots
