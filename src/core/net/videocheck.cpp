// A service that is down, rate-limited or asking for a captcha still answers 200, with a page
// where the video should be. Saved under the video's name it would count as done and never be
// fetched again, so the answer is judged by its type and by its first bytes.
#include "net/videocheck.h"

#include "text/strings.h"

namespace vigilo {

namespace {

// The media type when it names a page rather than media; empty otherwise.
std::string pageType(std::string_view contentType) {
    std::string type = toLowerAscii(trimBlanks(contentType.substr(0, contentType.find(';'))));
    const bool text = startsWith(type, "text/");
    const bool xml = endsWith(type, "+xml") || endsWith(type, "/xml");
    const bool json = endsWith(type, "+json") || endsWith(type, "/json");
    return text || xml || json ? type : std::string();
}

}  // namespace

std::string videoAnswerProblem(std::string_view contentType, std::string_view head) {
    if (const std::string type = pageType(contentType); !type.empty())
        return "the answer was a page (" + type + "), not a video";
    // An MP4 begins with its file type box (size, then "ftyp"); an FLV with its signature.
    const bool mp4 = head.size() >= 8 && head.substr(4, 4) == "ftyp";
    const bool flv = startsWith(head, "FLV");
    if (!mp4 && !flv) return "the answer does not begin like an MP4 or FLV video";
    return {};
}

std::string coverAnswerProblem(std::string_view contentType, std::string_view head) {
    if (const std::string type = pageType(contentType); !type.empty())
        return "the answer was a page (" + type + "), not a picture";
    const bool jpeg = startsWith(head, "\xFF\xD8\xFF");
    const bool png = startsWith(head, "\x89PNG");
    const bool gif = startsWith(head, "GIF8");
    // A WebP's "WEBP" comes after the eight bytes looked at: its RIFF start stands for it.
    const bool webp = startsWith(head, "RIFF");
    if (!jpeg && !png && !gif && !webp) return "the answer does not begin like a picture";
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
        if (toLowerAscii(trimBlanks(line.substr(0, colon))) == "content-type")
            return trimBlanks(line.substr(colon + 1));
    }
    return {};
}

}  // namespace vigilo
