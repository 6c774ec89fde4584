#pragma once
#include <string>
#include <string_view>

namespace vigilo {

// Re-encodes bytes between two charsets through iconv. Empty `from` means "UTF-8", empty `to`
// means "GBK". `skip` starts the output that many bytes in. Characters the target cannot hold
// are replaced; on an unusable charset the output is empty.
std::string convertCharset(std::string_view bytes, std::string_view from = "", std::string_view to = "",
                           size_t skip = 0);

std::string utf8ToGbk(std::string_view utf8);
std::string gbkToUtf8(std::string_view gbk);

// A response body as text: up to the first zero byte, invalid UTF-8 sequences replaced by
// U+FFFD, everything else (emoji included) kept.
std::string bodyToText(std::string_view body);
// The same text without copying a body that is already valid (every service answer): a view
// into `body`, or into `converted` when a sequence had to be replaced. Valid while both live.
std::string_view bodyTextView(std::string_view body, std::string& converted);
std::string toValidUtf8(std::string_view bytes);
bool isValidUtf8(std::string_view bytes);

// Link lists may come as UTF-8 or GBK; returns UTF-8 either way.
std::string decodeUtf8OrGbk(std::string_view bytes);

}  // namespace vigilo
