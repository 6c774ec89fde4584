#pragma once
#include <QAbstractButton>
#include <QPixmap>

namespace vigilo::gui {

// A button drawn from two images, one for rest and one for the pointer above it. A checkable
// one shows its pressed state with the second image and a bar at its foot.
class ImageButton : public QAbstractButton {
    Q_OBJECT
public:
    ImageButton(const QPixmap& normal, const QPixmap& hover, QWidget* parent = nullptr);

    QSize sizeHint() const override { return normal_.deviceIndependentSize().toSize(); }
    bool hovered() const { return hovered_; }

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

private:
    QPixmap normal_, hover_;
    bool hovered_ = false;
};

}  // namespace vigilo::gui
