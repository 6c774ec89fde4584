#pragma once
// Why an exchange or a save failed, as one kind a person can be told in a few Chinese words.
// The English detail (curl's text, the errno message) stays beside it for the log file.
#include <string>

#include "net/exchange.h"

namespace vigilo::net {

// The kind of an exchange's failure; None when it worked and the status is below 400.
FailureKind failureKind(const ExchangeOutcome& outcome);
// The kind of a transfer that libcurl ended with `code`, when the exchange itself saw no cause.
FailureKind transferFailureKind(CURLcode code);
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
