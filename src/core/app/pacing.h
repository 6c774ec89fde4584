#pragma once
// The numbers that set the program's rhythm, in one place. VIGILO_PACING_SCALE multiplies all
// of them (tests and demos); without it the product uses these values.
#include <chrono>

namespace vigilo {

using Millis = std::chrono::milliseconds;

struct Pacing {
    Millis pollGap{20};          // works monitor, between the poll starts of two rows
    Millis countdownTick{1000};  // works monitor countdown, ten ticks per cycle
    int countdownTicks = 10;
    Millis accountPostGap{10};           // account registration, between two posted links
    Millis roomPostGap{20};              // room registration, between two posted links
    Millis supervisorRowGap{20};         // poll supervisor, between two rows
    Millis passInterval{300000};         // poll supervisor, between two passes
    Millis recorderRepoll{30000};        // a room whose recorder ended is polled again within this
    Millis retryGapCap{3600000};         // works: the longest gap between two tries of a download or query
    Millis downloadGiveUp{86400000};     // works: a video still not saved this long after its first try is given up
    Millis downloadDeadlineMin{120000};  // works: a video download may always take this long (then 32 KB/s of its size)
    Millis recorderStall{60000};  // a recorder whose file has not grown this long is stopped (VIGILO_STALL_SECONDS)
    // Every cycle and pass start waits a random share of this, and every retry gap grows by a
    // random share of retrySpread, so programs started together (or one restarted after an
    // outage) do not ask the service all at the same moment. 0: starts on the dot.
    Millis startJitter{3000};
    double retrySpread = 0.25;

    double scale = 1.0;  // the factor these were scaled by

    Pacing scaled(double factor) const;
    static Pacing fromEnvironment();  // VIGILO_STALL_SECONDS, then VIGILO_PACING_SCALE
};

// A random duration in [0, span) (0 for an empty span), from a generator of the calling thread.
Millis randomShare(Millis span);

// Sleeps on the calling worker thread; returns at once when the thread's owner asks it to
// stop (sys/stop.h). Never called on the UI thread.
void delay(Millis duration);

}  // namespace vigilo
