#include "works/answers.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "net/politeness.h"
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

constexpr const char* kStatisticsNames[] = {"digg_count", "comment_count", "share_count", "play_count",
                                            "collect_count"};

// The paths of one post list item, made once: a list of 21 items would otherwise build a
// few dozen strings per item on every answer.
struct ItemPaths {
    std::string id, desc;
    struct AddressList {
        std::string list;
        std::string addresses[4];
    } lists[3];  // the low bit rate, the play and the download address lists, in that order
    AddressList cover;
    std::string createTime;
    std::string statistics[5];  // in the order of kStatisticsNames
    std::string authorUid, authorSecUid, authorNickname;
};

const std::vector<ItemPaths>& itemPaths() {
    static const std::vector<ItemPaths> paths = [] {
        std::vector<ItemPaths> items(kMaxItems);
        for (int i = 0; i < kMaxItems; ++i) {
            const std::string item = std::string(kPostListPath) + "[" + std::to_string(i) + "]";
            items[i].id = item + kItemIdPath;
            items[i].desc = item + kItemDescPath;
            auto addressList = [&item](ItemPaths::AddressList& list, const char* path) {
                list.list = item + path;
                for (int j = 0; j < 4; ++j) list.addresses[j] = list.list + "[" + std::to_string(j) + "]";
            };
            const char* lists[] = {kItemLowbrPath, kItemPlayPath, kItemDownloadPath};
            for (int l = 0; l < 3; ++l) addressList(items[i].lists[l], lists[l]);
            addressList(items[i].cover, kItemCoverPath);
            items[i].createTime = item + kItemCreateTimePath;
            for (int k = 0; k < 5; ++k)
                items[i].statistics[k] = item + kItemStatisticsPath + "['" + kStatisticsNames[k] + "']";
            items[i].authorUid = item + kItemAuthorUidPath;
            items[i].authorSecUid = item + kItemAuthorSecUidPath;
            items[i].authorNickname = item + kItemAuthorNicknamePath;
        }
        return items;
    }();
    return paths;
}

// The fourth address of a url_list, else the last one present; empty when none is.
std::string pickAddress(const JsonDoc& doc, const ItemPaths::AddressList& paths) {
    const int n = doc.count(paths.list);
    for (int i = std::min(n, 4) - 1; i >= 0; --i) {
        std::string address = doc.getText(paths.addresses[i]);
        if (!address.empty()) return address;
    }
    return {};
}

// A count of the statistics object, -1 when it is missing or no number.
std::int64_t statisticsCount(const JsonDoc& doc, const std::string& path) {
    const int type = doc.typeOf(path);
    double value = -1;
    if (type == kTypeNumber)
        value = doc.getNumber(path);
    else if (type == kTypeText && isDecimalNumber(doc.getText(path)))
        value = std::strtod(doc.getText(path).c_str(), nullptr);
    // Counts beyond what a double holds exactly are someone else's answer.
    if (!(value >= 0) || value > 9.0e15) return -1;
    return static_cast<std::int64_t>(value);
}

// What a post list is read for: every item's id, text, the first four addresses of each of its
// three address lists and of its cover, its time, counts and author. Nothing else of an answer
// is built in memory.
const std::vector<std::string_view>& postListPaths() {
    static const std::vector<std::string_view> views = [] {
        std::vector<std::string_view> paths;
        for (const ItemPaths& item : itemPaths()) {
            paths.push_back(item.id);
            paths.push_back(item.desc);
            for (const auto& list : item.lists)
                for (const std::string& address : list.addresses) paths.push_back(address);
            for (const std::string& address : item.cover.addresses) paths.push_back(address);
            paths.push_back(item.createTime);
            for (const std::string& count : item.statistics) paths.push_back(count);
            paths.push_back(item.authorUid);
            paths.push_back(item.authorSecUid);
            paths.push_back(item.authorNickname);
        }
        return paths;
    }();
    return views;
}

}  // namespace

Profile parseProfile(const HttpResult& result) {
    JsonDoc doc;
    std::string converted;
    const bool parsed = doc.parseKeeping(bodyTextView(result.body, converted),
                                         {kNicknamePath, kFollowerPath, kPostCountPath, kShortIdPath});
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
    std::string converted;
    const bool parsed = doc.parseKeeping(bodyTextView(result.body, converted), postListPaths());
    PostList list;
    list.ok = answered(result) && parsed;
    list.status = result.statusCode;
    list.transportCode = result.transportCode;
    list.error = result.error;
    const int n = std::min(doc.count(kPostListPath), kMaxItems);
    for (int i = 0; i < n; ++i) {
        const ItemPaths& paths = itemPaths()[static_cast<std::size_t>(i)];
        PostItem post;
        post.id = cutServiceText(doc.getText(paths.id), kMaxServiceFieldBytes);
        // An item without an id cannot be told apart from the next one.
        if (post.id.empty()) continue;
        post.desc = cutServiceText(doc.getText(paths.desc), kMaxDescriptionBytes);
        for (const auto& addresses : paths.lists) {
            post.playAddress = cutServiceText(pickAddress(doc, addresses), kMaxServiceFieldBytes);
            if (!post.playAddress.empty()) break;
        }
        const int covers = std::min(doc.count(paths.cover.list), 4);
        for (int j = 0; j < covers && post.coverAddress.empty(); ++j)
            post.coverAddress = cutServiceText(doc.getText(paths.cover.addresses[j]), kMaxServiceFieldBytes);
        const std::string createTime = countText(doc, paths.createTime);
        if (isDecimalNumber(createTime)) {
            const double seconds = std::strtod(createTime.c_str(), nullptr);
            // Before 2000 or past 2100 is no time this service has posted at.
            if (seconds >= 946684800.0 && seconds < 4102444800.0) post.createTime = static_cast<std::int64_t>(seconds);
        }
        post.statistics = {statisticsCount(doc, paths.statistics[0]), statisticsCount(doc, paths.statistics[1]),
                           statisticsCount(doc, paths.statistics[2]), statisticsCount(doc, paths.statistics[3]),
                           statisticsCount(doc, paths.statistics[4])};
        post.authorUid = cutServiceText(countText(doc, paths.authorUid), kMaxServiceFieldBytes);
        post.authorSecUid = cutServiceText(doc.getText(paths.authorSecUid), kMaxServiceFieldBytes);
        post.authorNickname = cutServiceText(doc.getText(paths.authorNickname), kMaxNicknameBytes);
        list.items.push_back(std::move(post));
    }
    return list;
}

Profile requestProfile(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = profileUrl(endpoints, secUid);
    options.maxBodyBytes = kMaxJsonAnswerBytes;
    options.contentJudged = true;
    const HttpResult result = InternetHttpClient::send(options);
    Profile profile = parseProfile(result);
    net::reportAnswer(options.url, result.statusCode, result.responseHeaders, result.body, profile.ok);
    return profile;
}

PostList requestPostList(const Endpoints& endpoints, const std::string& secUid) {
    HttpRequestOptions options;
    options.url = postListUrl(endpoints, secUid);
    options.method = HttpMethod::Get;
    options.extraHeaders = std::string(kMobileAgentLine);
    options.maxBodyBytes = kMaxJsonAnswerBytes;
    options.contentJudged = true;
    const HttpResult result = InternetHttpClient::send(options);
    PostList list = parsePostList(result);
    // The list is asked for when the count moved, so a list with nothing in it is an empty answer.
    net::reportAnswer(options.url, result.statusCode, result.responseHeaders, result.body,
                      list.ok && !list.items.empty());
    return list;
}

}  // namespace vigilo
