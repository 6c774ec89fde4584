#include "gui/images.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRandomGenerator>

#include "gui/fonts.h"

namespace vigilo::gui {
namespace {

void drawWorksGlyph(QPainter& p, const QRectF& r) {
    // A film frame with a play mark.
    QRectF frame = r.adjusted(r.width() * 0.1, r.height() * 0.15, -r.width() * 0.1, -r.height() * 0.15);
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(frame, 4, 4);
    const qreal hole = frame.height() / 7;
    for (int i = 0; i < 3; ++i) {
        const qreal y = frame.top() + hole * (1 + 2 * i);
        p.fillRect(QRectF(frame.left() + 3, y, hole, hole * 0.8), Qt::white);
        p.fillRect(QRectF(frame.right() - 3 - hole, y, hole, hole * 0.8), Qt::white);
    }
    QPainterPath play;
    const QPointF c = frame.center();
    const qreal s = frame.height() * 0.3;
    play.moveTo(c.x() - s * 0.6, c.y() - s);
    play.lineTo(c.x() + s, c.y());
    play.lineTo(c.x() - s * 0.6, c.y() + s);
    play.closeSubpath();
    p.fillPath(play, Qt::white);
}

void drawLiveGlyph(QPainter& p, const QRectF& r) {
    // A broadcast dot with two waves on each side.
    const QPointF c = r.center();
    const qreal d = r.height() * 0.22;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 80, 80));
    p.drawEllipse(c, d, d);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
    for (int i = 1; i <= 2; ++i) {
        const qreal rad = d + i * d * 0.8;
        QRectF arc(c.x() - rad, c.y() - rad, 2 * rad, 2 * rad);
        p.drawArc(arc, -40 * 16, 80 * 16);
        p.drawArc(arc, 140 * 16, 80 * 16);
    }
}

void drawSupportGlyph(QPainter& p, const QRectF& r) {
    // A heart.
    const QPointF c = r.center();
    const qreal s = r.height() * 0.36;
    QPainterPath heart;
    heart.moveTo(c.x(), c.y() + s);
    heart.cubicTo(c.x() - s * 1.6, c.y() - s * 0.1, c.x() - s * 0.8, c.y() - s * 1.3, c.x(), c.y() - s * 0.45);
    heart.cubicTo(c.x() + s * 0.8, c.y() - s * 1.3, c.x() + s * 1.6, c.y() - s * 0.1, c.x(), c.y() + s);
    p.fillPath(heart, QColor(255, 110, 140));
    p.setPen(QPen(Qt::white, 1.5));
    p.drawPath(heart);
}

}  // namespace

QColor headerBandColor() { return QColor(32, 40, 58); }

namespace {

void drawEye(QPainter& p, const QRectF& eye, qreal h) {
    QPainterPath lid;
    lid.moveTo(eye.left(), eye.center().y());
    lid.quadTo(eye.center().x(), eye.top() - h * 0.2, eye.right(), eye.center().y());
    lid.quadTo(eye.center().x(), eye.bottom() + h * 0.2, eye.left(), eye.center().y());
    p.fillPath(lid, QColor(90, 200, 255));
    p.setPen(Qt::NoPen);
    p.setBrush(headerBandColor());
    p.drawEllipse(eye.center(), h * 0.16, h * 0.16);
    p.setBrush(Qt::white);
    p.drawEllipse(eye.center() + QPointF(h * 0.05, -h * 0.05), h * 0.05, h * 0.05);
}

}  // namespace

QIcon appIcon() {
    QIcon icon;
    for (int side : {16, 32, 48, 64, 128}) {
        QPixmap pix(side, side);
        pix.fill(Qt::transparent);
        QPainter p(&pix);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(headerBandColor());
        p.drawRoundedRect(QRectF(0, 0, side, side), side * 0.2, side * 0.2);
        drawEye(p, QRectF(side * 0.1, side * 0.3, side * 0.8, side * 0.4), side * 0.7);
        p.end();
        icon.addPixmap(pix);
    }
    return icon;
}

QPixmap imageButtonPixmap(const QString& caption, ButtonArt art, bool hover, QSize size) {
    QPixmap pix(size);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area(1, 1, size.width() - 2, size.height() - 2);
    QLinearGradient g(area.topLeft(), area.bottomLeft());
    if (hover) {
        g.setColorAt(0, QColor(86, 148, 230));
        g.setColorAt(1, QColor(40, 96, 180));
    } else {
        g.setColorAt(0, QColor(58, 72, 102));
        g.setColorAt(1, QColor(38, 48, 70));
    }
    p.setPen(QPen(hover ? QColor(170, 205, 255) : QColor(80, 96, 130), 1));
    p.setBrush(g);
    p.drawRoundedRect(area, 8, 8);

    const qreal captionHeight = size.height() * 0.32;
    const QRectF glyph(area.left(), area.top() + 4, area.width(), area.height() - captionHeight - 6);
    switch (art) {
        case ButtonArt::Works: drawWorksGlyph(p, glyph); break;
        case ButtonArt::Live: drawLiveGlyph(p, glyph); break;
        case ButtonArt::Support: drawSupportGlyph(p, glyph); break;
    }
    p.setFont(namedFont(kImageButtonFamily, 10, true));
    p.setPen(Qt::white);
    p.drawText(QRectF(area.left(), area.bottom() - captionHeight - 2, area.width(), captionHeight), Qt::AlignCenter,
               caption);
    return pix;
}

QPixmap bannerPixmap(QSize size) {
    QPixmap pix(size);
    pix.fill(Qt::transparent);
    QPainter p(&pix);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF area(0, 0, size.width(), size.height());
    // An eye-like mark: the program watches.
    const qreal h = area.height();
    const QRectF eye(8, h * 0.2, h * 0.9, h * 0.6);
    drawEye(p, eye, h);

    const qreal textLeft = eye.right() + 12;
    QFont title = namedFont(kImageButtonFamily, 20, true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(textLeft, 0, area.width() - textLeft, h * 0.62), Qt::AlignLeft | Qt::AlignBottom,
               QStringLiteral("Vigilo"));
    p.setFont(namedFont(kImageButtonFamily, 9));
    p.setPen(QColor(180, 200, 230));
    p.drawText(QRectF(textLeft, h * 0.62, area.width() - textLeft, h * 0.38), Qt::AlignLeft | Qt::AlignTop,
               QStringLiteral("作品 · 直播 监控"));
    return pix;
}

QPixmap paymentCodePixmap(const QString& label, QColor accent, quint32 seed, QSize size) {
    QPixmap pix(size);
    pix.fill(Qt::white);
    QPainter p(&pix);
    const int cells = 29;
    const int side = qMin(size.width(), size.height()) - 24;
    const int cell = side / cells;
    const int origin_x = (size.width() - cell * cells) / 2;
    const int origin_y = (size.height() - cell * cells) / 2;
    auto fillCell = [&](int x, int y, const QColor& c) {
        p.fillRect(origin_x + x * cell, origin_y + y * cell, cell, cell, c);
    };
    auto inFinder = [&](int x, int y) {
        auto near = [](int v, int at) { return v >= at && v < at + 8; };
        return (near(x, 0) && near(y, 0)) || (near(x, cells - 8) && near(y, 0)) || (near(x, 0) && near(y, cells - 8));
    };
    QRandomGenerator random(seed);
    for (int y = 0; y < cells; ++y)
        for (int x = 0; x < cells; ++x)
            if (!inFinder(x, y) && random.bounded(2) == 1) fillCell(x, y, Qt::black);
    for (auto [fx, fy] : {std::pair{0, 0}, std::pair{cells - 7, 0}, std::pair{0, cells - 7}}) {
        for (int y = 0; y < 7; ++y)
            for (int x = 0; x < 7; ++x) {
                const bool ring = x == 0 || y == 0 || x == 6 || y == 6;
                const bool core = x >= 2 && x <= 4 && y >= 2 && y <= 4;
                if (ring || core) fillCell(fx + x, fy + y, Qt::black);
            }
    }
    // The label in the middle says what the code stands for; the pattern itself pays nobody.
    const QRect badge(size.width() / 2 - 46, size.height() / 2 - 20, 92, 40);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(accent, 2));
    p.setBrush(Qt::white);
    p.drawRoundedRect(badge, 6, 6);
    p.setFont(namedFont(kImageButtonFamily, 11, true));
    p.setPen(accent);
    p.drawText(badge, Qt::AlignCenter, label + QStringLiteral("\n示例"));
    return pix;
}

}  // namespace vigilo::gui
