#include "works/answers.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "net/service.h"
#include "text/charset.h"
#include "text/jsondoc.h"
#include "text/strings.h"
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

// A count of the statistics object, -1 when it is missing or no number.
std::int64_t statisticsCount(const JsonDoc& doc, const std::string& item, const char* name) {
    const std::string path = item + kItemStatisticsPath + "['" + name + "']";
    const int type = doc.typeOf(path);
    double value = -1;
    if (type == kTypeNumber) value = doc.getNumber(path);
    else if (type == kTypeText && isDecimalNumber(doc.getText(path))) value = std::strtod(doc.getText(path).c_str(), nullptr);
    // Counts beyond what a double holds exactly are someone else's answer.
    if (!(value >= 0) || value > 9.0e15) return -1;
    return static_cast<std::int64_t>(value);
}

constexpr const char* kStatisticsNames[] = {"digg_count", "comment_count", "share_count", "play_count", "collect_count"};

// What a post list is read for: every item's id, text, the first four addresses of each of its
// three address lists and of its cover, its time, counts and author. Nothing else of an answer
// is built in memory.
const std::vector<std::string_view>& postListPaths() {
    static const std::vector<std::string> owned = [] {
        std::vector<std::string> paths;
        for (int i = 0; i < kMaxItems; ++i) {
            const std::string item = std::string(kPostListPath) + "[" + std::to_string(i) + "]";
            paths.push_back(item + kItemIdPath);
            paths.push_back(item + kItemDescPath);
            for (const char* list : {kItemLowbrPath, kItemPlayPath, kItemDownloadPath})
                for (int j = 0; j < 4; ++j) paths.push_back(item + list + "[" + std::to_string(j) + "]");
            for (int j = 0; j < 4; ++j) paths.push_back(item + kItemCoverPath + "[" + std::to_string(j) + "]");
            paths.push_back(item + kItemCreateTimePath);
            for (const char* name : kStatisticsNames) paths.push_back(item + kItemStatisticsPath + "['" + name + "']");
            for (const char* field : {kItemAuthorUidPath, kItemAuthorSecUidPath, kItemAuthorNicknamePath})
                paths.push_back(item + field);
        }
        return paths;
    }();
    static const std::vector<std::string_view> views(owned.begin(), owned.end());
    return views;
}

}  // namespace

Profile parseProfile(const HttpResult& result) {
    JsonDoc doc;
    const bool parsed =
        doc.parseKeeping(bodyToText(result.body), {kNicknamePath, kFollowerPath, kPostCountPath, kShortIdPath});
    Profile profile;
    // Texts from the service are cut before they reach a cell, a log line or a file name.
    profile.nickname = cutServiceText(doc.getText(kNicknamePath), kMaxNicknameBytes);
    profile.followerText = cutServiceText(followerText(countText(doc, kFollowerPath)), kMaxServiceFieldBytes);
    profile.postCount = cutServiceText(countText(doc, kPostCountPath), kMaxServiceFieldBytes);
    profile.shortId = cutServiceText(doc.getText(kShortIdPath), kMaxServiceFieldBytes);

    const int countType = doc.typeOf(kPostCountPath);
    const bool hasCount = countType == kTypeNumber || (countType == kTypeText && isDecimalNumber(profile.postCount));
    profile.ok = answered(result) && parsed && doc.exists("['user_info']") && hasCount;
    profile.status = result.statusCode;
    profile.transportCode = result.transportCode;
    profile.error = result.error;
    return profile;
}

PostList parsePostList(const HttpResult& result) {
    JsonDoc doc;
    const bool parsed = doc.parseKeeping(bodyToText(result.body), postListPaths());
    PostList list;
    list.ok = answered(result) && parsed;
    list.status = result.statusCode;
    list.transportCode = result.transportCode;
    list.error = result.error;
    const int n = std::min(doc.count(kPostListPath), kMaxItems);
    for (int i = 0; i < n; ++i) {
        const std::string item = std::string(kPostListPath) + "[" + std::to_string(i) + "]";
        PostItem post;
        post.id = cutServiceText(doc.getText(item + kItemIdPath), kMaxServiceFieldBytes);
        // An item without an id cannot be told apart from the next one.
        if (post.id.empty()) continue;
        post.desc = cutServiceText(doc.getText(item + kItemDescPath), kMaxDescriptionBytes);
        for (const char* list : {kItemLowbrPath, kItemPlayPath, kItemDownloadPath}) {
            post.playAddress = cutServiceText(pickAddress(doc, item + list), kMaxServiceFieldBytes);
            if (!post.playAddress.empty()) break;
        }
        const int covers = std::min(doc.count(item + kItemCoverPath), 4);
        for (int j = 0; j < covers && post.coverAddress.empty(); ++j)
            post.coverAddress = cutServiceText(doc.getText(item + kItemCoverPath + "[" + std::to_string(j) + "]"),
                                               kMaxServiceFieldBytes);
        const std::string createTime = countText(doc, item + kItemCreateTimePath);
        if (isDecimalNumber(createTime)) {
            const double seconds = std::strtod(createTime.c_str(), nullptr);
            // Before 2000 or past 2100 is no time this service has posted at.
            if (seconds >= 946684800.0 && seconds < 4102444800.0) post.createTime = static_cast<std::int64_t>(seconds);
        }
        post.statistics = {statisticsCount(doc, item, "digg_count"), statisticsCount(doc, item, "comment_count"),
                           statisticsCount(doc, item, "share_count"), statisticsCount(doc, item, "play_count"),
                           statisticsCount(doc, item, "collect_count")};
        post.authorUid = cutServiceText(countText(doc, item + kItemAuthorUidPath), kMaxServiceFieldBytes);
        post.authorSecUid = cutServiceText(doc.getText(item + kItemAuthorSecUidPath), kMaxServiceFieldBytes);
        post.authorNickname = cutServiceText(doc.getText(item + kItemAuthorNicknamePath), kMaxNicknameBytes);
        list.items.push_back(std::move(post));
    }
    return list;
}

Profile requestProfile(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = profileUrl(endpoints, secUid);
    options.maxBodyBytes = kMaxJsonAnswerBytes;
    return parseProfile(InternetHttpClient::send(options));
}

PostList requestPostList(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = postListUrl(endpoints, secUid);
    options.method = 0;
    options.extraHeaders = std::string(kMobileAgentLine);
    options.maxBodyBytes = kMaxJsonAnswerBytes;
    return parsePostList(InternetHttpClient::send(options));
}

}  // namespace vigilo
