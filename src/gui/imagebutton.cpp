#include "gui/imagebutton.h"

#include <QPainter>

namespace vigilo::gui {

ImageButton::ImageButton(ImageSource source, QSize size, QWidget* parent)
    : QAbstractButton(parent), source_(std::move(source)), size_(size) {
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
}

const QPixmap& ImageButton::image(bool lit) {
    QPixmap& slot = images_[lit ? 1 : 0];
    if (slot.isNull() && source_) slot = source_(lit);
    return slot;
}

void ImageButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const bool lit = hovered_ || isDown() || isChecked();
    p.drawPixmap(rect(), image(lit));
    if (isChecked()) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 210, 80));
        p.drawRoundedRect(QRectF(width() * 0.2, height() - 5, width() * 0.6, 3), 1.5, 1.5);
    }
    if (hasFocus()) {
        p.setPen(QPen(QColor(255, 255, 255, 120), 1, Qt::DotLine));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(3, 3, -3, -3), 6, 6);
    }
}

void ImageButton::enterEvent(QEnterEvent* event) {
    hovered_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void ImageButton::leaveEvent(QEvent* event) {
    hovered_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}  // namespace vigilo::gui
