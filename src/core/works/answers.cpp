#include "works/answers.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "net/service.h"
#include "text/charset.h"
#include "text/jsondoc.h"
#include "works/monitor.h"
#include "works/paths.h"

namespace vigilo {
namespace {

constexpr int kTypeNumber = 2;
constexpr int kTypeText = 6;
// The service lists 21 posts per page; a longer list is someone else's answer.
constexpr int kMaxItems = 50;

// A count as text. The service sends numbers; a count that arrives as a quoted text is read
// as its content rather than as JSON with quotes around it.
std::string countText(const JsonDoc& doc, const std::string& path) {
    if (doc.typeOf(path) == kTypeText) return doc.getText(path);
    std::string text = doc.subDocument(path).toText();
    return text == "null" ? std::string() : text;
}

bool isDecimalNumber(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789+-.eE") != std::string::npos) return false;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

bool answered(const HttpResult& result) { return result.transportOk() && result.statusCode != 0; }

// The fourth address of a url_list, else the last one present; empty when none is.
std::string pickAddress(const JsonDoc& doc, const std::string& path) {
    const int n = doc.count(path);
    for (int i = std::min(n, 4) - 1; i >= 0; --i) {
        std::string address = doc.getText(path + "[" + std::to_string(i) + "]");
        if (!address.empty()) return address;
    }
    return {};
}

}  // namespace

Profile parseProfile(const HttpResult& result) {
    JsonDoc doc;
    const bool parsed = doc.parse(bodyToText(result.body));
    Profile profile;
    profile.nickname = doc.getText(kNicknamePath);
    profile.followerText = followerText(countText(doc, kFollowerPath));
    profile.postCount = countText(doc, kPostCountPath);
    profile.shortId = doc.getText(kShortIdPath);

    const int countType = doc.typeOf(kPostCountPath);
    const bool hasCount = countType == kTypeNumber || (countType == kTypeText && isDecimalNumber(profile.postCount));
    profile.ok = answered(result) && parsed && doc.exists("['user_info']") && hasCount;
    return profile;
}

PostList parsePostList(const HttpResult& result) {
    JsonDoc doc;
    const bool parsed = doc.parse(bodyToText(result.body));
    PostList list;
    list.ok = answered(result) && parsed;
    const int n = std::min(doc.count(kPostListPath), kMaxItems);
    for (int i = 0; i < n; ++i) {
        const std::string item = std::string(kPostListPath) + "[" + std::to_string(i) + "]";
        PostItem post;
        post.id = doc.getText(item + kItemIdPath);
        // An item without an id cannot be told apart from the next one.
        if (post.id.empty()) continue;
        post.desc = doc.getText(item + kItemDescPath);
        for (const char* list : {kItemLowbrPath, kItemPlayPath, kItemDownloadPath}) {
            post.playAddress = pickAddress(doc, item + list);
            if (!post.playAddress.empty()) break;
        }
        list.items.push_back(std::move(post));
    }
    return list;
}

Profile requestProfile(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = profileUrl(endpoints, secUid);
    return parseProfile(InternetHttpClient::send(options));
}

PostList requestPostList(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = postListUrl(endpoints, secUid);
    options.method = 0;
    options.extraHeaders = std::string(kMobileAgentLine);
    return parsePostList(InternetHttpClient::send(options));
}

}  // namespace vigilo
