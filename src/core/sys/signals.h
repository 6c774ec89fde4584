#pragma once
// The process's policy for the signals that would end it on an ordinary failed write. Each
// such signal is ignored once, before the first write that could raise it, so the write fails
// with an error value instead; a handler someone installed on purpose is left alone.
#include <signal.h>

#include <mutex>

namespace vigilo {

inline void ignoreSignalUnlessHandled(int signal) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0) return;
    if (current.sa_handler == SIG_DFL && (current.sa_flags & SA_SIGINFO) == 0) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        ::sigaction(signal, &ignore, nullptr);
    }
}

// A write to a closed pipe or socket fails with EPIPE. Every part that writes to a peer
// (transfers, children's pipes, the simulated service) calls this before it starts.
inline void ignoreBrokenPipes() {
    static std::once_flag once;
    std::call_once(once, [] { ignoreSignalUnlessHandled(SIGPIPE); });
}

// A file growing beyond the process's file-size limit (ulimit -f) fails its write with EFBIG,
// as a full disk fails it with ENOSPC (sys/file_size_signal.h is where the writers find it).
inline void ignoreFileSizeSignal() {
    static std::once_flag once;
    std::call_once(once, [] { ignoreSignalUnlessHandled(SIGXFSZ); });
}

}  // namespace vigilo
