// Response handling: a profile answer and a 21-item post list read the way a poll reads them
// (every listed post: id, description, the address of its video),
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
#include "works/answers.h"
#include "works/monitor.h"

namespace vigilo::bench {
namespace {

struct Reads {
    std::string nickname, follower, count, shortId;
    // Every listed post: id, description and the address its video is fetched from.
    std::vector<std::string> ids, descs, addresses;
    bool ok = false;
    size_t weight() const {
        size_t n = nickname.size() + follower.size() + count.size() + shortId.size() + (ok ? 1 : 0);
        for (const auto* list : {&ids, &descs, &addresses})
            for (const auto& s : *list) n += s.size();
        return n;
    }
    bool operator==(const Reads&) const = default;
};

// Everything a poll reads from its two answers, through the works monitor's own parsers. The
// answers are built once: a poll reads the body its exchange collected, never a copy of it.
Reads readThroughJsonDoc(const HttpResult& profileAnswer, const HttpResult& postsAnswer) {
    const Profile profile = parseProfile(profileAnswer);
    const PostList list = parsePostList(postsAnswer);
    Reads r;
    r.nickname = profile.nickname;
    r.follower = profile.followerText;
    r.count = profile.postCount;
    r.shortId = profile.shortId;
    r.ok = profile.ok && list.ok;
    for (const auto& item : list.items) {
        r.ids.push_back(item.id);
        r.descs.push_back(item.desc);
        r.addresses.push_back(item.playAddress);
    }
    return r;
}

HttpResult answered(const std::string& body) {
    HttpResult answer;
    answer.statusCode = 200;
    answer.body = body;
    return answer;
}

using Json = nlohmann::json;

const Json* member(const Json* object, const char* name) {
    if (object == nullptr || !object->is_object()) return nullptr;
    const auto it = object->find(name);
    return it == object->end() ? nullptr : &*it;
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
    if (list == nullptr || !list->is_array()) return r;
    for (const Json& item : *list) {
        const std::string id = text(member(&item, "aweme_id"));
        if (id.empty()) continue;
        r.ids.push_back(id);
        r.descs.push_back(text(member(&item, "desc")));
        std::string address;
        for (const char* name : {"play_addr_lowbr", "play_addr", "download_addr"}) {
            const Json* urls = member(member(member(&item, "video"), name), "url_list");
            if (urls == nullptr || !urls->is_array() || urls->empty()) continue;
            address = text(&(*urls)[std::min<size_t>(3, urls->size() - 1)]);
            break;
        }
        r.addresses.push_back(address);
    }
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
    const HttpResult profileAnswer = answered(profile), postsAnswer = answered(posts);
    const Reads a = readThroughJsonDoc(profileAnswer, postsAnswer);
    const Reads b = readByHand(profile, posts);
    if (!a.ok || !(a == b) || a.addresses.empty() || a.addresses[0].empty()) {
        std::fprintf(stderr, "json: the two readers disagree on the answers\n");
        return 1;
    }

    std::vector<double> docTimes, handTimes;
    long docFaults = 0, handFaults = 0;
    size_t sink = 0;
    for (int round = 0; round < rounds; ++round) {
        double start = threadCpuSeconds();
        long faults = threadMinorFaults();
        for (int i = 0; i < perRound; ++i) sink += readThroughJsonDoc(profileAnswer, postsAnswer).weight();
        docTimes.push_back((threadCpuSeconds() - start) / perRound);
        docFaults += threadMinorFaults() - faults;
        start = threadCpuSeconds();
        faults = threadMinorFaults();
        for (int i = 0; i < perRound; ++i) sink += readByHand(profile, posts).weight();
        handTimes.push_back((threadCpuSeconds() - start) / perRound);
        handFaults += threadMinorFaults() - faults;
    }
    if (sink == 0) std::fprintf(stderr, "json: nothing read\n");
    const double doc = median(docTimes), hand = median(handTimes);
    const double ratio = doc / hand;
    report("json", "answer sizes (profile + post list)",
           std::to_string(profile.size()) + " + " + std::to_string(posts.size()) + " B");
    report("json", "poll reads via JsonDoc, CPU us", fixed(doc * 1e6, 1));
    report("json", "baseline nlohmann + hand reads, CPU us", fixed(hand * 1e6, 1));
    const double reads = static_cast<double>(rounds) * perRound;
    report(
        "json", "minor page faults per read, JsonDoc / baseline",
        fixed(static_cast<double>(docFaults) / reads, 2) + " / " + fixed(static_cast<double>(handFaults) / reads, 2));
    report("json", "ratio JsonDoc / baseline", fixed(ratio, 2), "<= 1.2", verdict(ratio <= 1.2));
    return 0;
}

}  // namespace vigilo::bench
