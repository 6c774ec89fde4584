// A service that is down, rate-limited or asking for a captcha still answers 200, with a page
// where the video should be. Saved under the video's name it would count as done and never be
// fetched again, so the answer is judged by its type and by its first bytes.
#include "net/videocheck.h"

#include "text/strings.h"

namespace vigilo {

std::string videoAnswerProblem(std::string_view contentType, std::string_view head) {
    std::string type = toLowerAscii(trimBlanks(contentType.substr(0, contentType.find(';'))));
    if (!type.empty()) {
        const bool text = startsWith(type, "text/");
        const bool xml = endsWith(type, "+xml") || endsWith(type, "/xml");
        const bool json = endsWith(type, "+json") || endsWith(type, "/json");
        if (text || xml || json) return "the answer was a page (" + type + "), not a video";
    }
    // An MP4 begins with its file type box (size, then "ftyp"); an FLV with its signature.
    const bool mp4 = head.size() >= 8 && head.substr(4, 4) == "ftyp";
    const bool flv = startsWith(head, "FLV");
    if (!mp4 && !flv) return "the answer does not begin like an MP4 or FLV video";
    return {};
}

std::string contentTypeOf(std::string_view headerBlock) {
    std::size_t from = 0;
    while (from < headerBlock.size()) {
        std::size_t end = headerBlock.find("\r\n", from);
        if (end == std::string_view::npos) end = headerBlock.size();
        const std::string_view line = headerBlock.substr(from, end - from);
        from = end + 2;
        const auto colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        if (toLowerAscii(trimBlanks(line.substr(0, colon))) == "content-type") return trimBlanks(line.substr(colon + 1));
    }
    return {};
}

}  // namespace vigilo
