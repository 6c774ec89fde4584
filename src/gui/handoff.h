#pragma once
// The one way work reaches the UI thread from workers. Producers merge into a pending value
// under a lock; while a value is pending exactly one drain is posted to the receiver, so a
// burst of thousands of changes costs one event. The drain runs on the receiver's thread; a
// caller there may also drain at once. The handoff lives inside its receiver: a drain still
// queued when the receiver goes is dropped with it.
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <functional>
#include <mutex>
#include <utility>

namespace vigilo::gui {

template <class Pending>
class UiHandoff {
public:
    UiHandoff(QObject* receiver, std::function<void(Pending)> apply) : receiver_(receiver), apply_(std::move(apply)) {}
    UiHandoff(const UiHandoff&) = delete;
    UiHandoff& operator=(const UiHandoff&) = delete;

    // Any thread: merge(pending) adds to what waits for the UI thread.
    template <class Merge>
    void push(Merge&& merge) {
        std::lock_guard lock(mutex_);
        merge(pending_);
        if (posted_) return;
        posted_ = true;
        QMetaObject::invokeMethod(
            receiver_, [this] { drain(); }, Qt::QueuedConnection);
    }

    // The receiver's thread: applies whatever is pending (an empty value when nothing is).
    void drain() {
        Pending batch{};
        {
            std::lock_guard lock(mutex_);
            std::swap(batch, pending_);
            posted_ = false;
        }
        apply_(std::move(batch));
    }

private:
    QObject* receiver_;
    std::function<void(Pending)> apply_;
    std::mutex mutex_;
    Pending pending_{};
    bool posted_ = false;
};

// A single call on the UI thread for an object that may be gone by then: posted to the
// application, run only while the target lives. The guard is made on the UI thread (where the
// target could be deleted) and may be copied to any thread.
template <class Target, class Call>
void postToUi(const QPointer<Target>& guard, Call&& call) {
    QMetaObject::invokeMethod(
        qApp,
        [guard, call = std::forward<Call>(call)]() mutable {
            if (guard) call(guard.data());
        },
        Qt::QueuedConnection);
}

}  // namespace vigilo::gui
