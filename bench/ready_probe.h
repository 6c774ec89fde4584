#pragma once
// Tells a launcher when a Qt program's window became usable: a top-level window is visible,
// has been painted, and the program's own condition holds. Prints "ready <CPU ms so far>" on
// standard output,
// then, after VIGILO_BENCH_IDLE_MS (default 0) of idling, "rss <kB> <anonymous kB>", and ends
// the process.
#include <sys/resource.h>

#include <QApplication>
#include <QEvent>
#include <QSet>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

namespace vigilo::bench {

class ReadyProbe : public QObject {
public:
    explicit ReadyProbe(std::function<bool(QWidget*)> usable) : usable_(std::move(usable)) {
        qApp->installEventFilter(this);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { check(); });
        timer_.start();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType()) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget->isWindow()) painted_.insert(widget);
        }
        return false;
    }

private:
    void check() {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->isVisible() || !painted_.contains(window) || !usable_(window)) continue;
            timer_.stop();
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            const double cpuMs = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
            std::printf("ready %.1f\n", cpuMs);
            std::fflush(stdout);
            const char* idle = std::getenv("VIGILO_BENCH_IDLE_MS");
            QTimer::singleShot(idle != nullptr ? std::atoi(idle) : 0, [] {
                long rss = 0, anon = 0;
                if (FILE* status = std::fopen("/proc/self/status", "r")) {
                    char line[256];
                    while (std::fgets(line, sizeof line, status) != nullptr) {
                        if (std::strncmp(line, "VmRSS:", 6) == 0) rss = std::atol(line + 6);
                        if (std::strncmp(line, "RssAnon:", 8) == 0) anon = std::atol(line + 8);
                    }
                    std::fclose(status);
                }
                std::printf("rss %ld %ld\n", rss, anon);
                std::fflush(stdout);
                std::_Exit(0);
            });
            return;
        }
    }

    std::function<bool(QWidget*)> usable_;
    QSet<QWidget*> painted_;
    QTimer timer_;
};

}  // namespace vigilo::bench
