#pragma once
// A file growing beyond the process's file-size limit (ulimit -f) must fail its write with EFBIG,
// as a full disk fails it with ENOSPC, instead of ending the process with SIGXFSZ. A handler
// the program installed itself is left alone.
#include <signal.h>

#include <mutex>

namespace vigilo {

inline void ignoreFileSizeSignal() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (::sigaction(SIGXFSZ, nullptr, &current) != 0) return;
        if (current.sa_handler == SIG_DFL && (current.sa_flags & SA_SIGINFO) == 0) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            ::sigaction(SIGXFSZ, &ignore, nullptr);
        }
    });
}

}  // namespace vigilo
