#include "gui/imagebutton.h"

#include <QPainter>

namespace vigilo::gui {

ImageButton::ImageButton(const QPixmap& normal, const QPixmap& hover, QWidget* parent)
    : QAbstractButton(parent), normal_(normal), hover_(hover) {
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
}

void ImageButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const bool lit = hovered_ || isDown() || isChecked();
    p.drawPixmap(rect(), lit ? hover_ : normal_);
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
