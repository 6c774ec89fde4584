#include "app/pacing.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <initializer_list>
#include <mutex>
#include <random>
#include <thread>

#include "sys/stop.h"

namespace vigilo {

namespace {

Millis scaleOne(Millis value, double factor) {
    if (value.count() <= 0) return value;
    const double scaled = std::round(static_cast<double>(value.count()) * factor);
    // A pause never becomes zero: a loop paced by it must still yield the processor.
    return Millis(std::max<long long>(1, static_cast<long long>(scaled)));
}

constexpr Millis kShortestStall{20000};

}  // namespace

Pacing Pacing::scaled(double factor) const {
    if (!std::isfinite(factor) || factor <= 0) return *this;
    Pacing result = *this;
    result.scale = scale * factor;
    for (Millis Pacing::*member :
         {&Pacing::pollGap, &Pacing::countdownTick, &Pacing::accountPostGap, &Pacing::roomPostGap,
          &Pacing::supervisorRowGap, &Pacing::passInterval, &Pacing::recorderRepoll, &Pacing::retryGapCap,
          &Pacing::downloadGiveUp, &Pacing::downloadDeadlineMin, &Pacing::startJitter, &Pacing::recorderStall}) {
        result.*member = scaleOne(this->*member, factor);
    }
    // Never below ffmpeg's own read time-out (15 s): a silent stream is ended by ffmpeg, the
    // watch is for what ffmpeg does not see (a playlist that stops moving, a hung muxer).
    result.recorderStall = std::max(result.recorderStall, std::min(recorderStall, kShortestStall));
    return result;
}

Pacing Pacing::fromEnvironment() {
    Pacing pacing;
    // A whole number of seconds, at least one; anything else keeps the default.
    if (const char* stall = std::getenv("VIGILO_STALL_SECONDS"); stall != nullptr && *stall != '\0') {
        char* end = nullptr;
        const long long seconds = std::strtoll(stall, &end, 10);
        if (*end == '\0' && seconds >= 1 && seconds <= 86400) pacing.recorderStall = Millis(seconds * 1000);
    }
    const char* text = std::getenv("VIGILO_PACING_SCALE");
    if (text == nullptr || *text == '\0') return pacing;
    char* end = nullptr;
    const double factor = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(factor) || factor <= 0) return pacing;
    return pacing.scaled(factor);
}

Millis randomShare(Millis span) {
    if (span.count() <= 0) return Millis{0};
    thread_local std::mt19937_64 generator{std::random_device{}()};
    return Millis(std::uniform_int_distribution<long long>(0, span.count() - 1)(generator));
}

void delay(Millis duration) {
    if (duration.count() <= 0) return;
    const std::stop_token& stop = currentStopToken();
    if (!stop.stop_possible()) {
        std::this_thread::sleep_for(duration);
        return;
    }
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, duration, [] { return false; });
}

}  // namespace vigilo
