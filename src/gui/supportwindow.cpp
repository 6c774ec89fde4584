#include "gui/supportwindow.h"

#include <QLabel>

#include "gui/fonts.h"
#include "gui/images.h"

namespace vigilo::gui {

SupportWindow::SupportWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("窗口_赞助"));
    setWindowTitle(QStringLiteral("感谢支持"));
    setFixedSize(550, 320);
    move(50, 50);

    const QSize codeSize(266, 264);
    auto picture = [&](const char* name, QRect geometry, const QString& label, QColor accent, quint32 seed) {
        auto* box = new QLabel(this);
        box->setObjectName(QString::fromUtf8(name));
        box->setGeometry(geometry);
        box->setPixmap(paymentCodePixmap(label, accent, seed, codeSize));
    };
    picture("图片框3", QRect(0, 0, 266, 264), QStringLiteral("微信"), QColor(26, 173, 25), 0x5eed01);
    picture("图片框1", QRect(272, 0, 266, 264), QStringLiteral("支付宝"), QColor(22, 119, 255), 0x5eed02);

    auto caption = [&](const char* name, QRect geometry, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::fromUtf8(name));
        label->setGeometry(geometry);
        label->setAlignment(Qt::AlignCenter);
        label->setFont(namedFont(kSupportLabelFamily, 14));
    };
    caption("标签1", QRect(0, 264, 266, 24), QStringLiteral("微信"));
    caption("标签2", QRect(266, 264, 266, 24), QStringLiteral("支付宝"));
}

}  // namespace vigilo::gui
