#include "notify/receiver.h"

#include <signal.h>

#include <condition_variable>
#include <thread>

#include "live/runner.h"
#include "net/exchange.h"
#include "net/reason.h"
#include "notify/format.h"
#include "text/strings.h"
#include "text/timefmt.h"

namespace vigilo {

bool pauseUnlessStopped(std::chrono::milliseconds time, std::stop_token stop) {
    std::mutex mutex;
    std::condition_variable_any never;
    std::unique_lock lock(mutex);
    never.wait_for(lock, stop, time, [] { return false; });
    return !stop.stop_requested();
}

void FailureNote::failed(const std::string& why, const std::string& detail) {
    std::unique_lock lock(mutex_);
    ++failures_;
    if (failing_) return;
    failing_ = true;
    const std::string line = logTimestamp() + "：" + receiver_ + " 失败：" + oneLine(why) + "（恢复之前不再记录）\r\n";
    lock.unlock();
    if (log_) log_(line);
    if (record_ && !detail.empty()) record_(receiver_ + "：" + oneLine(detail));
}

void FailureNote::succeeded() {
    std::unique_lock lock(mutex_);
    if (!failing_) return;
    failing_ = false;
    const std::string line = logTimestamp() + "：" + receiver_ + " 已恢复\r\n";
    lock.unlock();
    if (log_) log_(line);
}

int FailureNote::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

HttpPushReceiver::HttpPushReceiver(Form form, std::string url, DeliveryPolicy policy, LogLine log, LogLine record)
    : form_(form),
      url_(std::move(url)),
      policy_(policy),
      note_(form == Form::Ntfy ? "推送通知（VIGILO_NOTIFY_URL）" : "事件推送（VIGILO_WEBHOOK_URL）", std::move(log),
            std::move(record)) {}

bool HttpPushReceiver::deliver(const Event& event, std::stop_token stop, DeliveryReport* report) {
    DeliveryReport own;
    DeliveryReport& r = report ? *report : own;
    r = DeliveryReport{};
    std::string why;
    const auto url = net::checkedUrl(url_, false, &why);
    if (!url) {
        r.reason = "地址无效";
        r.detail = why;
        note_.failed(r.reason, r.detail);
        return false;
    }
    net::ExchangeRequest request;
    request.url = *url;
    request.verb = "POST";
    request.sendBody = true;
    request.followRedirects = false;
    request.connectTimeoutSeconds = policy_.connectTimeoutSeconds;
    request.stallSeconds = policy_.totalTimeoutSeconds;
    request.totalTimeoutSeconds = policy_.totalTimeoutSeconds;
    request.maxBodyBytes = 65536;
    // A receiver that refuses a push fails that push (told by its own lines); it is not the
    // watched service slowing the program down, so its answers teach the budget nothing.
    request.contentJudged = true;
    if (form_ == Form::Ntfy) {
        request.body = eventBody(event);
        if (request.body.empty()) request.body = eventTitle(event);
        request.headers.push_back({"Title", eventTitle(event)});
        request.headers.push_back({"Content-Type", "text/plain; charset=utf-8"});
    } else {
        request.body = eventJson(event);
        request.headers.push_back({"Content-Type", "application/json"});
    }

    auto wait = policy_.backoff;
    for (int attempt = 1;; ++attempt) {
        const net::ExchangeOutcome outcome = net::performExchange(request);
        r.attempts = attempt;
        r.status = outcome.ok() ? outcome.status : 0;
        bool retry = true;
        if (outcome.ok() && outcome.status >= 200 && outcome.status < 300) {
            r.arrived = true;
            r.reason.clear();
            r.detail.clear();
            note_.succeeded();
            return true;
        }
        if (outcome.ok()) {
            // 1xx and 3xx are no delivery either, though not an error status.
            r.reason = failureReasonZh(net::FailureKind::HttpStatus, outcome.status);
            r.detail = "HTTP " + std::to_string(outcome.status);
            // The receiver understood and said no: asking again would get the same answer.
            retry = outcome.status == 408 || outcome.status == 429 || outcome.status >= 500;
        } else {
            r.reason = net::failureReasonZh(outcome);
            r.detail = outcome.error;
        }
        if (!retry || attempt >= policy_.attempts || !pauseUnlessStopped(wait, stop)) break;
        wait *= 2;
    }
    note_.failed(r.reason, r.detail);
    return false;
}

CommandReceiver::CommandReceiver(std::string program, DeliveryPolicy policy, LogLine log, LogLine record)
    : program_(std::move(program)),
      policy_(policy),
      note_("事件命令（VIGILO_ON_EVENT）", std::move(log), std::move(record)) {}

bool CommandReceiver::deliver(const Event& event, std::stop_token stop, DeliveryReport* report) {
    DeliveryReport own;
    DeliveryReport& r = report ? *report : own;
    r = DeliveryReport{};
    r.attempts = 1;
    RunRequest request;
    request.program = program_;
    RunControl control;
    bool timedOut = false;
    {
        // Feeds the event once the program runs and ends the run if it takes too long; joined
        // before the control goes.
        std::jthread watcher([&, input = eventJson(event) + "\n"](std::stop_token own) {
            if (!control.waitStarted(policy_.commandTimeout)) return;
            if (control.started()) {
                control.sendKeys(input);
                control.closeInput();
            }
            const auto deadline = std::chrono::steady_clock::now() + policy_.commandTimeout;
            while (!control.finished()) {
                if (own.stop_requested()) return;
                if (stop.stop_requested() || std::chrono::steady_clock::now() >= deadline) {
                    timedOut = !stop.stop_requested();
                    // What the program started would outlive it, one set per event.
                    control.sendGroupSignal(SIGKILL);
                    control.waitFinished(std::chrono::milliseconds(5000));
                    return;
                }
                control.waitFinished(std::chrono::milliseconds(100));
            }
        });
        const RunResult result = runProgram(request, {}, &control);
        watcher.join();
        if (!result.started) {
            r.reason = result.collectedOutput;  // "<program> 不存在" and the like
            note_.failed(r.reason);
            return false;
        }
        if (timedOut) {
            r.reason = "超过 " + std::to_string(policy_.commandTimeout.count() / 1000) + " 秒未结束，已终止";
            note_.failed(r.reason);
            return false;
        }
        if (!result.termSignal) r.exitCode = result.exitCode;
        if (result.exitCode != 0) {
            std::string tail = trimBlanks(oneLine(result.collectedOutput));
            if (tail.size() > 200) {
                std::size_t from = tail.size() - 200;
                while (from < tail.size() && (static_cast<unsigned char>(tail[from]) & 0xC0) == 0x80) ++from;
                tail.erase(0, from);
            }
            r.reason = result.termSignal ? "被信号 " + std::to_string(result.termSignal) + " 终止"
                                         : "退出码 " + std::to_string(result.exitCode);
            r.detail = tail;
            note_.failed(r.reason + (tail.empty() ? "" : "：" + tail));
            return false;
        }
    }
    r.arrived = true;
    note_.succeeded();
    return true;
}

}  // namespace vigilo
