#pragma once
#include <QAbstractButton>
#include <QPixmap>
#include <functional>

namespace vigilo::gui {

// A button drawn from two images, one for rest and one for the pointer above it. A checkable
// one shows its pressed state with the second image and a bar at its foot. Each image is drawn
// the first time the button shows it: most buttons are never hovered before the window is up.
class ImageButton : public QAbstractButton {
    Q_OBJECT
public:
    using ImageSource = std::function<QPixmap(bool lit)>;

    ImageButton(ImageSource source, QSize size, QWidget* parent = nullptr);

    QSize sizeHint() const override { return size_; }
    bool hovered() const { return hovered_; }

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;

private:
    const QPixmap& image(bool lit);

    ImageSource source_;
    QSize size_;
    QPixmap images_[2];
    bool hovered_ = false;
};

}  // namespace vigilo::gui
