// vigilo-bench-qtmin: the smallest Qt Widgets program that shows one window; the yardstick for
// the program's start-up time. With --text the window shows one line in the program's own
// font, which is what drawing any Chinese text costs (the font files, the fallbacks, shaping).
#include <QApplication>
#include <QFont>
#include <QLabel>
#include <QWidget>
#include <cstring>
#include <memory>

#include "ready_probe.h"

int main(int argc, char** argv) {
    const bool text = argc > 1 && std::strcmp(argv[1], "--text") == 0;
    QApplication app(argc, argv);
    std::unique_ptr<QWidget> window;
    if (text) {
        auto label = std::make_unique<QLabel>(QStringLiteral("抖音作品监控 直播录制 Vigilo"));
        QFont font(QStringLiteral("Noto Sans CJK SC"), 9);
        label->setFont(font);
        window = std::move(label);
    } else {
        window = std::make_unique<QWidget>();
    }
    window->resize(640, 480);
    window->show();
    vigilo::bench::ReadyProbe probe([](QWidget*) { return true; });
    return app.exec();
}
