// Response handling: a profile answer and a 21-item post list read the way a poll reads them,
// through JsonDoc, side by side with nlohmann parsing the same bytes and reading the same
// members by hand. Rounds alternate between the two so drift on a shared machine hits both.
#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "accounts.h"
#include "bench.h"
#include "net/service.h"
#include "sim/simulator.h"
#include "support.h"
#include "text/charset.h"
#include "text/jsondoc.h"
#include "text/strings.h"
#include "works/monitor.h"
#include "works/paths.h"

namespace vigilo::bench {
namespace {

struct Reads {
    std::string nickname, follower, count, shortId, newestId, newestDesc, playAddress;
    bool ok = false, listEmpty = true;
    size_t weight() const {
        return nickname.size() + follower.size() + count.size() + shortId.size() + newestId.size() +
               newestDesc.size() + playAddress.size() + (ok ? 1 : 0) + (listEmpty ? 1 : 0);
    }
};

std::string countText(const JsonDoc& doc, const char* path) {
    if (doc.typeOf(path) == 6) return doc.getText(path);
    std::string text = doc.subDocument(path).toText();
    return text == "null" ? std::string() : text;
}

// Everything a poll reads from its two answers, as the works monitor reads it.
Reads readThroughJsonDoc(const std::string& profileBody, const std::string& postsBody) {
    Reads r;
    JsonDoc doc;
    const bool parsed = doc.parse(bodyToText(profileBody));
    r.nickname = doc.getText(kNicknamePath);
    r.follower = followerText(countText(doc, kFollowerPath));
    r.count = countText(doc, kPostCountPath);
    r.shortId = doc.getText(kShortIdPath);
    const int countType = doc.typeOf(kPostCountPath);
    r.ok = parsed && doc.exists("['user_info']") && (countType == 2 || countType == 6);

    JsonDoc posts;
    r.ok = posts.parse(bodyToText(postsBody)) && r.ok;
    r.newestId = posts.getText(kNewestIdPath);
    r.newestDesc = posts.getText(kNewestDescPath);
    r.playAddress = posts.getText(kPlayAddressPath);
    r.listEmpty = posts.count("['aweme_list']") == 0;
    return r;
}

using Json = nlohmann::json;

const Json* member(const Json* object, const char* name) {
    if (object == nullptr || !object->is_object()) return nullptr;
    const auto it = object->find(name);
    return it == object->end() ? nullptr : &*it;
}
const Json* element(const Json* array, size_t index) {
    if (array == nullptr || !array->is_array() || index >= array->size()) return nullptr;
    return &(*array)[index];
}
std::string text(const Json* value) {
    if (value == nullptr) return {};
    if (value->is_string()) return value->get<std::string>();
    if (value->is_number()) return value->dump();
    return {};
}

// The same members read by hand from nlohmann's own tree.
Reads readByHand(const std::string& profileBody, const std::string& postsBody) {
    Reads r;
    const Json profile = Json::parse(profileBody, nullptr, false);
    const Json* user = member(&profile, "user_info");
    r.nickname = text(member(user, "nickname"));
    r.follower = followerText(text(member(user, "follower_count")));
    r.count = text(member(user, "aweme_count"));
    r.shortId = text(member(user, "short_id"));
    const Json* count = member(user, "aweme_count");
    r.ok = !profile.is_discarded() && user != nullptr && count != nullptr && (count->is_number() || count->is_string());

    const Json posts = Json::parse(postsBody, nullptr, false);
    r.ok = r.ok && !posts.is_discarded();
    const Json* list = member(&posts, "aweme_list");
    const Json* newest = element(list, 0);
    r.newestId = text(member(newest, "aweme_id"));
    r.newestDesc = text(member(newest, "desc"));
    r.playAddress = text(element(member(member(member(newest, "video"), "play_addr_lowbr"), "url_list"), 3));
    r.listEmpty = list == nullptr || !list->is_array() || list->empty();
    return r;
}

bool fetchAnswers(std::string& profile, std::string& posts) {
    sim::Simulator simulator;
    const sim::Account account = makeAccount(3);
    simulator.addAccount(account);
    if (!simulator.start()) return false;
    Endpoints endpoints;
    endpoints.account = simulator.baseUrl();
    CURL* handle = curl_easy_init();
    profile = bareGet(handle, profileUrl(endpoints, account.secUid), nullptr);
    posts = bareGet(handle, postListUrl(endpoints, account.secUid), nullptr);
    curl_easy_cleanup(handle);
    simulator.stop();
    return !profile.empty() && !posts.empty();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int runJsonBench(const std::vector<std::string>& args) {
    const int rounds = std::stoi(option(args, "--rounds", "15"));
    const int perRound = std::stoi(option(args, "--iterations", "200"));
    std::string profile, posts;
    if (!fetchAnswers(profile, posts)) {
        std::fprintf(stderr, "json: no answers from the simulated service\n");
        return 1;
    }
    const Reads a = readThroughJsonDoc(profile, posts);
    const Reads b = readByHand(profile, posts);
    if (!a.ok || !b.ok || a.nickname != b.nickname || a.count != b.count || a.follower != b.follower ||
        a.shortId != b.shortId || a.newestId != b.newestId || a.newestDesc != b.newestDesc ||
        a.playAddress != b.playAddress || a.playAddress.empty()) {
        std::fprintf(stderr, "json: the two readers disagree on the answers\n");
        return 1;
    }

    std::vector<double> docTimes, handTimes;
    size_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = threadCpuSeconds();
        for (int i = 0; i < perRound; ++i) sink += readThroughJsonDoc(profile, posts).weight();
        docTimes.push_back((threadCpuSeconds() - start) / perRound);
        start = threadCpuSeconds();
        for (int i = 0; i < perRound; ++i) sink += readByHand(profile, posts).weight();
        handTimes.push_back((threadCpuSeconds() - start) / perRound);
    }
    if (sink == 0) std::fprintf(stderr, "json: nothing read\n");
    const double doc = median(docTimes), hand = median(handTimes);
    const double ratio = doc / hand;
    report("json", "answer sizes (profile + post list)",
           std::to_string(profile.size()) + " + " + std::to_string(posts.size()) + " B");
    report("json", "poll reads via JsonDoc, CPU us", fixed(doc * 1e6, 1));
    report("json", "baseline nlohmann + hand reads, CPU us", fixed(hand * 1e6, 1));
    report("json", "ratio JsonDoc / baseline", fixed(ratio, 2), "<= 1.3", verdict(ratio <= 1.3));
    return 0;
}

}  // namespace vigilo::bench
