#pragma once
#include <QWidget>

namespace vigilo::gui {

// The thanks window: two payment-code pictures with their labels. It has no handlers.
class SupportWindow : public QWidget {
    Q_OBJECT
public:
    explicit SupportWindow(QWidget* parent = nullptr);
};

}  // namespace vigilo::gui
