#pragma once
// Why an exchange failed, as a short Chinese text for the activity log. The English detail
// stays in the diagnostics (vigilo.log); the window's log shows this.
#include <string>

namespace vigilo {

// `httpStatus`: the answer's status (0: none); `transportCode`: libcurl's code of a failed
// exchange (0: the exchange itself worked); `detail`: the English diagnostic, used when neither
// says more.
std::string failureReasonZh(int httpStatus, int transportCode, const std::string& detail);

}  // namespace vigilo
