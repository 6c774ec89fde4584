#pragma once
#include <string>
#include <string_view>

namespace vigilo {

// How many leading bytes videoAnswerProblem needs to judge a body.
inline constexpr std::size_t kVideoHeadBytes = 8;

// Why an answer served where a video should be is not a video; empty when it may be one.
// contentType is the Content-Type header's value (empty when there was none), head the first
// kVideoHeadBytes bytes of the body (fewer when the body is shorter).
std::string videoAnswerProblem(std::string_view contentType, std::string_view head);

// The same for a post's cover: a JPEG, PNG, WebP or GIF picture, never a page.
std::string coverAnswerProblem(std::string_view contentType, std::string_view head);

// The value of the Content-Type line of a header block (CR LF lines); empty when it has none.
std::string contentTypeOf(std::string_view headerBlock);

}  // namespace vigilo
