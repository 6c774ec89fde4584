#pragma once
// Why an exchange or a save failed, as one kind a person can be told in a few Chinese words.
// The English detail (curl's text, the errno message) stays beside it for the log file.
#include <string>

#include "net/exchange.h"

namespace vigilo::net {

enum class FailureKind {
    None,          // it worked
    TimedOut,      // no answer, or no byte, within the time allowed
    NoConnection,  // the host could not be found, reached, or the connection broke
    Tls,           // the secure connection or the certificate failed
    HttpStatus,    // the server answered with an error status (the status goes beside it)
    NotVideo,      // a page came back where a video was expected
    ShortBody,     // the answer ended before the length it announced
    DiskFull,      // nothing more could be written
    TooLarge,      // larger than the limit allows
    Stopped,       // the program's owner asked the work to stop
    Other,         // anything else (a refused address, a budget that stayed spent, …)
};

// The kind of an exchange's failure; None when it worked and the status is below 400.
FailureKind failureKind(const ExchangeOutcome& outcome);
// The kind of a failed write: ENOSPC, EDQUOT and EFBIG are a full disk.
FailureKind failureKindOfWriteError(int error);

// "超时", "服务器返回 404", "磁盘空间不足", …: the words the Chinese log shows. `status` is used by
// HttpStatus only.
std::string failureReasonZh(FailureKind kind, long status = 0);
std::string failureReasonZh(const ExchangeOutcome& outcome);
// For an answer already parsed: its status (0: none), libcurl's code (0: the exchange worked);
// an exchange that worked with a good status still failed when its body was of no use.
std::string failureReasonZh(long httpStatus, int transportCode);

}  // namespace vigilo::net
