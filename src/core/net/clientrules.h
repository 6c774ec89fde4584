#pragma once
// Small rules the three clients share when they turn their header text into header fields.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "net/exchange.h"
#include "text/strings.h"

namespace vigilo::net {

// Each non-empty line of a CR LF separated header text as a name and a value, both trimmed;
// lines without a name are left out.
inline std::vector<HeaderField> headerFieldsFromText(std::string_view text) {
    std::vector<HeaderField> fields;
    std::size_t from = 0;
    while (from <= text.size()) {
        auto end = text.find("\r\n", from);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(from, end - from);
        if (!line.empty()) {
            std::string name = headerName(line);
            if (!name.empty()) fields.push_back({std::move(name), headerValue(line)});
        }
        if (end == text.size()) break;
        from = end + 2;
    }
    return fields;
}

inline bool sameNameNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && toLowerAscii(a) == toLowerAscii(b);
}

inline bool hasField(const std::vector<HeaderField>& fields, std::string_view name) {
    for (const HeaderField& field : fields) {
        if (sameNameNoCase(field.name, name)) return true;
    }
    return false;
}

// The cap on a collected answer: the caller's, never above the process-wide one.
inline std::size_t answerCap(const HttpRequestOptions& options, const NetConfig& config) {
    if (!options.maxBodyBytes || *options.maxBodyBytes == 0) return config.maxBodyBytes;
    if (config.maxBodyBytes == 0) return *options.maxBodyBytes;
    return std::min(*options.maxBodyBytes, config.maxBodyBytes);
}

// Body sent with the request: the bytes when given and non-empty, else the text.
inline std::string requestBody(const HttpRequestOptions& options) {
    if (options.bodyBytes && !options.bodyBytes->empty()) return *options.bodyBytes;
    return options.bodyText.value_or(std::string());
}

inline HttpMethod clampedMethod(const HttpRequestOptions& options) {
    const int method = static_cast<int>(options.method.value_or(HttpMethod::Get));
    return (method < 0 || method > static_cast<int>(HttpMethod::Connect)) ? HttpMethod::Get
                                                                          : static_cast<HttpMethod>(method);
}

// Answers to the JSON and redirect-page exchanges have no business being longer than this
// long: a drip-feeding server must not hold a worker forever.
inline constexpr long kPageTotalTimeoutSeconds = 300;

}  // namespace vigilo::net
