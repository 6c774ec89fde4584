// The answers look like the service's: members and their types, ids twice, redirect pages in
// their exact form, own_room only while the owner is live, bodies byte for byte.
#include <set>

#include "sim_fixture.h"

namespace vigilo::sim::testing {
namespace {

using nlohmann::json;

std::string htmlEscaped(std::string s) {
    std::string out;
    for (char c : s) {
        if (c == '&')
            out += "&amp;";
        else if (c == '"')
            out += "&#34;";
        else if (c == '\'')
            out += "&#39;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out.push_back(c);
    }
    return out;
}

TEST_F(SimTest, ProfileCarriesTheMembersTheServiceSends) {
    json doc = getJson(profilePath());
    ASSERT_FALSE(doc.is_discarded());
    EXPECT_EQ(doc["status_code"], 0);
    EXPECT_TRUE(doc["extra"]["now"].is_number_integer());
    EXPECT_TRUE(doc["extra"]["logid"].is_string());
    const json& u = doc["user_info"];
    // 't' text, 'n' whole number, 'o' object
    for (const auto& [name, kind] : std::vector<std::pair<std::string, char>>{{"uid", 't'},
                                                                              {"short_id", 't'},
                                                                              {"unique_id", 't'},
                                                                              {"nickname", 't'},
                                                                              {"signature", 't'},
                                                                              {"sec_uid", 't'},
                                                                              {"aweme_count", 'n'},
                                                                              {"follower_count", 'n'},
                                                                              {"following_count", 'n'},
                                                                              {"total_favorited", 't'},
                                                                              {"avatar_thumb", 'o'}}) {
        ASSERT_TRUE(u.contains(name)) << name;
        char actual = u[name].is_string() ? 't' : u[name].is_number_integer() ? 'n' : u[name].is_object() ? 'o' : '?';
        EXPECT_EQ(actual, kind) << name;
    }
    EXPECT_EQ(u["nickname"], "小熊看世界🐻");
    EXPECT_EQ(u["signature"], "第一行\n第二行");
    EXPECT_EQ(u["aweme_count"], 2);
    EXPECT_EQ(u["follower_count"], 1234);
    EXPECT_EQ(u["short_id"], "1589043172");

    json unknown = getJson(profilePath("MS4wLjABAAAAnobody"));
    EXPECT_EQ(unknown["status_code"], 0);
    EXPECT_FALSE(unknown.contains("user_info"));
}

TEST_F(SimTest, PostListItemsAndTheFourthPlayAddress) {
    sim.addPost(kSecUid, {"6872336845759089999", "newest\n#tag", "new bytes", 4});
    sim.addAccount([] {
        Account a = sampleAccount();
        a.secUid = "MS4wLjABAAAAtwo";
        a.posts = {{"7000000000000000001", "two urls", "x", 2}};
        return a;
    }());

    json doc = getJson(postsPath());
    ASSERT_FALSE(doc.is_discarded());
    EXPECT_TRUE(doc["max_cursor"].is_number());
    EXPECT_TRUE(doc["min_cursor"].is_number());
    EXPECT_TRUE(doc["has_more"].is_boolean() || doc["has_more"].is_number());
    ASSERT_EQ(doc["aweme_list"].size(), 3u);
    const json& item = doc["aweme_list"][0];
    EXPECT_EQ(item["aweme_id"], "6872336845759089999");
    EXPECT_EQ(item["desc"], "newest\n#tag");
    EXPECT_EQ(item["statistics"]["aweme_id"], "6872336845759089999");
    EXPECT_EQ(item["author"]["sec_uid"], kSecUid);
    EXPECT_EQ(item["text_extra"][0]["hashtag_name"], "tag");
    EXPECT_TRUE(item["text_extra"][0]["hashtag_id"].is_number());
    EXPECT_TRUE(item["video"]["bit_rate"].is_null());
    EXPECT_EQ(item["video"]["ratio"], "540p");
    for (const char* list : {"play_addr", "play_addr_lowbr", "download_addr"})
        EXPECT_TRUE(item["video"][list]["url_list"].is_array()) << list;
    const json& urls = item["video"]["play_addr_lowbr"]["url_list"];
    ASSERT_EQ(urls.size(), 4u);
    std::string fourth = urls[3];
    EXPECT_NE(fourth.find("/aweme/v1/play/?video_id=v0200f"), std::string::npos) << fourth;
    EXPECT_NE(fourth.find("&line=3&"), std::string::npos) << fourth;

    // count=1 gives only the newest; an account with two-entry lists has no fourth entry.
    json one = getJson("/web/api/v2/aweme/post/?sec_uid=" + std::string(kSecUid) + "&count=1");
    EXPECT_EQ(one["aweme_list"].size(), 1u);
    json two = getJson(postsPath("MS4wLjABAAAAtwo"));
    EXPECT_EQ(two["aweme_list"][0]["video"]["play_addr_lowbr"]["url_list"].size(), 2u);
}

TEST_F(SimTest, PlayAddressLeadsToTheExactVideoBytes) {
    json doc = getJson(postsPath());
    std::string play = doc["aweme_list"][0]["video"]["play_addr_lowbr"]["url_list"][3];
    test::Reply redirect = get(local(play));
    ASSERT_EQ(redirect.status, 302);
    std::string location = redirect.header("Location");
    EXPECT_NE(location.find("/video/tos/cn/"), std::string::npos);
    EXPECT_NE(location.find("mime_type=video_mp4"), std::string::npos);
    EXPECT_EQ(redirect.body, "<a href=\"" + htmlEscaped(location) + "\">Found</a>.\n\n");

    const std::string expected = sampleAccount().posts[0].videoBytes;
    test::Reply video = get(local(location));
    EXPECT_EQ(video.status, 200);
    EXPECT_EQ(video.header("Content-Type"), "video/mp4");
    EXPECT_EQ(video.body, expected);

    // The address as the page holds it (with &amp;) serves the same file, and ranges resume.
    std::string escaped = htmlEscaped(location);
    EXPECT_EQ(get(local(escaped)).body, expected);
    test::Reply tail = get(local(location), {"Range: bytes=5-"});
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, expected.substr(5));
    EXPECT_EQ(tail.header("Content-Range"), "bytes 5-12/13");

    EXPECT_EQ(get("/aweme/v1/play/?video_id=v0200fnothing&line=3").status, 404);
}

TEST_F(SimTest, ShareLinksAnswerTheRedirectPageInItsExactForm) {
    Account odd = sampleAccount();
    odd.uid = "1\"2'3<4>";
    odd.secUid = "MS4wLjABAAAA&odd";
    sim.addAccount(odd);

    struct Case {
        std::string link;
        std::string targetStart;
        std::vector<std::string> markers;  // what the program cuts out of the page
    };
    std::string base = sim.baseUrl();
    std::vector<Case> cases = {
        {sim.accountShareLink(kSecUid),
         base + "/share/user/" + kUid + "?sec_uid=" + kSecUid + "&u_code=",
         {std::string("/user/") + kUid + "?", std::string("sec_uid=") + kSecUid + "&amp"}},
        {sim.roomShareLink(kRoomId),
         base + "/webcast/reflow/" + kRoomId + "?u_code=",
         {std::string("reflow/") + kRoomId + "?"}},
        {sim.accountShareLink("MS4wLjABAAAA&odd"),
         base + "/share/user/1\"2'3<4>?sec_uid=MS4wLjABAAAA&odd&u_code=",
         {"/user/1&#34;2&#39;3&lt;4&gt;?", "sec_uid=MS4wLjABAAAA&amp;odd&amp"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.link);
        std::string path = local(c.link);
        ASSERT_EQ(path.size(), 9u);  // "/" + seven characters + "/"
        test::Reply r = get(path);
        EXPECT_EQ(r.status, 302);
        EXPECT_EQ(r.reason, "Found");
        EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
        std::string target = r.header("Location");
        EXPECT_EQ(target.rfind(c.targetStart, 0), 0u) << target;
        EXPECT_NE(target.find("&utm_source=copy&"), std::string::npos);
        EXPECT_EQ(r.body, "<a href=\"" + htmlEscaped(target) + "\">Found</a>.\n\n");
        for (const auto& m : c.markers) EXPECT_NE(r.body.find(m), std::string::npos) << m;
    }
    EXPECT_EQ(get("/AAAAAAA/").status, 404);
}

TEST_F(SimTest, HostileIdsNeverReachAHeaderLine) {
    Account a = sampleAccount();
    a.secUid = "MS4w\r\nX-Injected: 1";
    sim.addAccount(a);
    test::Reply r = get(local(sim.accountShareLink(a.secUid)));
    EXPECT_EQ(r.status, 302);
    EXPECT_TRUE(r.header("Location").empty());
    EXPECT_TRUE(r.header("X-Injected").empty());
    EXPECT_NE(r.body.find("sec_uid=MS4w\r\nX-Injected: 1&amp;"), std::string::npos);

    // The same id, percent-encoded by the client, finds the account.
    json doc = getJson(profilePath("MS4w%0D%0AX-Injected%3A%201"));
    EXPECT_EQ(doc["user_info"]["sec_uid"], a.secUid);
}

TEST_F(SimTest, RoomAnswerFollowsTheShow) {
    auto room = [&](const std::string& id) { return getJson(roomPath(id))["data"]["room"]; };

    json off = room(kRoomId);
    EXPECT_EQ(off["status"], 4);
    EXPECT_EQ(off["id_str"], kRoomId);
    EXPECT_EQ(off["id"].get<std::uint64_t>(), 6854151890994039560ull);
    EXPECT_EQ(off["create_time"], 1590975065);
    EXPECT_EQ(off["owner"]["nickname"], "橙子🍊");
    EXPECT_EQ(off["owner"]["id_str"], kOwnerId);
    EXPECT_TRUE(off["owner"]["short_id"].is_number());
    EXPECT_FALSE(off["owner"].contains("own_room"));

    sim.goLive(kRoomId, "http://127.0.0.1:1/stage/a.flv");
    json on = room(kRoomId);
    EXPECT_EQ(on["status"], 2);
    EXPECT_EQ(on["owner"]["own_room"]["room_ids_str"], json::array({kRoomId}));
    EXPECT_EQ(on["owner"]["own_room"]["room_ids"][0].get<std::uint64_t>(), 6854151890994039560ull);
    const json& s = on["stream_url"];
    EXPECT_EQ(s["default_resolution"], "HD1");
    EXPECT_EQ(s["rtmp_pull_url"], "http://127.0.0.1:1/stage/a.flv");
    EXPECT_EQ(s["hls_pull_url"], "http://127.0.0.1:1/stage/a.m3u8");
    EXPECT_EQ(s["flv_pull_url"]["HD1"], "http://127.0.0.1:1/stage/a.flv");
    EXPECT_EQ(s["hls_pull_url_map"]["FULL_HD1"], "http://127.0.0.1:1/stage/a.m3u8");
    EXPECT_GT(on["create_time"].get<std::int64_t>(), 1590975065);

    sim.endShow(kRoomId);
    json ended = room(kRoomId);
    EXPECT_EQ(ended["status"], 4);
    EXPECT_FALSE(ended["owner"].contains("own_room"));
    EXPECT_EQ(ended["stream_url"]["flv_pull_url"], json::object());
    EXPECT_EQ(ended["stream_url"]["hls_pull_url_map"], json::object());
    EXPECT_EQ(ended["stream_url"]["rtmp_pull_url"], "http://127.0.0.1:1/stage/a.flv");

    // Live again in a new room: the linked room has ended, its owner points at the new one.
    sim.editRoom(kRoomId, [](Room& r) { r.defaultResolution = "ORIGION"; });
    sim.goLive(kRoomId, "http://127.0.0.1:1/stage/b.m3u8", "6854151890994039999");
    json old = room(kRoomId);
    EXPECT_EQ(old["status"], 4);
    EXPECT_EQ(old["owner"]["own_room"]["room_ids_str"][0], "6854151890994039999");
    json fresh = room("6854151890994039999");
    EXPECT_EQ(fresh["status"], 2);
    EXPECT_EQ(fresh["id_str"], "6854151890994039999");
    EXPECT_EQ(fresh["owner"]["nickname"], "橙子🍊");
    EXPECT_EQ(fresh["stream_url"]["default_resolution"], "ORIGION");
    EXPECT_EQ(fresh["stream_url"]["hls_pull_url"], "http://127.0.0.1:1/stage/b.m3u8");
    EXPECT_EQ(fresh["stream_url"]["rtmp_pull_url"], "http://127.0.0.1:1/stage/a.flv");
    sim.endShow("6854151890994039999");
    EXPECT_FALSE(sim.isLive(kRoomId));

    json unknown = getJson(roomPath("1"));
    EXPECT_EQ(unknown["status_code"], 0);
    EXPECT_FALSE(unknown["data"].contains("room"));
}

TEST_F(SimTest, MemberOrderChangesBetweenAnswersUnlessSwitchedOff) {
    auto order = [&] {
        std::string body = get(profilePath()).body;
        auto doc = nlohmann::ordered_json::parse(body);
        std::string keys;
        for (auto& [k, v] : doc["user_info"].items()) keys += k + ",";
        return keys;
    };
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) seen.insert(order());
    EXPECT_GT(seen.size(), 1u);

    sim.setShuffleMembers(false);
    seen.clear();
    for (int i = 0; i < 4; ++i) seen.insert(order());
    EXPECT_EQ(seen.size(), 1u);
}

TEST_F(SimTest, NoticeFollowsItsShareRedirectAndNamesTheUpdate) {
    std::string path = local(sim.noticeUrl());
    EXPECT_EQ(path.rfind("/api/v3/file/sourcejump/", 0), 0u);
    test::Reply jump = get(path);
    ASSERT_EQ(jump.status, 302);
    test::Reply file = get(local(jump.header("Location")));
    EXPECT_EQ(file.status, 200);
    EXPECT_EQ(file.body, "版本号【1.0.0.0】运营状态【运营中】公告栏【】更新软件地址【" + sim.updateUrl() + "】");

    sim.setNotice("版本号【1.0.0.1】运营状态【停运】");
    EXPECT_EQ(get(local(jump.header("Location"))).body, "版本号【1.0.0.1】运营状态【停运】");

    sim.setUpdateFile(std::string("ELF\0update", 10));
    test::Reply update = get(local(sim.updateUrl()));
    EXPECT_EQ(update.status, 200);
    EXPECT_EQ(update.body, std::string("ELF\0update", 10));
    test::Reply rest = get(local(sim.updateUrl()), {"Range: bytes=4-"});
    EXPECT_EQ(rest.status, 206);
    EXPECT_EQ(rest.body, "update");
    EXPECT_EQ(get(local(sim.updateUrl()), {"Range: bytes=10-"}).status, 416);
}

}  // namespace
}  // namespace vigilo::sim::testing
