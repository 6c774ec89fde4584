// Faults chosen per request (the soak's random share) play on the wire like scripted ones, give
// way to a scripted fault, and stop when the chooser is removed.
#include <atomic>
#include <map>
#include <mutex>

#include "sim_fixture.h"

namespace vigilo::sim::testing {
namespace {

TEST_F(SimTest, ChosenFaultsPlayPerRequestAndGiveWayToScriptedOnes) {
    std::mutex mu;
    std::map<std::string, int> asked;
    std::atomic<int> postsSeen{0};
    // Every other post-list answer fails; the chooser is asked about every endpoint.
    sim.setFaultChooser([&](const std::string& endpoint) {
        {
            std::lock_guard<std::mutex> lock(mu);
            ++asked[endpoint];
        }
        if (endpoint != kPosts) return Fault::None;
        return postsSeen++ % 2 == 0 ? Fault::Http500 : Fault::None;
    });
    EXPECT_EQ(get(postsPath()).status, 500);
    EXPECT_EQ(get(postsPath()).status, 200);
    EXPECT_EQ(get(postsPath()).status, 500);
    EXPECT_EQ(get(profilePath()).status, 200);

    // A scripted fault wins, and the chooser is not asked while it lasts.
    sim.setFault(kPosts, Fault::EmptyBody, 1);
    test::Reply scripted = get(postsPath());
    EXPECT_EQ(scripted.status, 200);
    EXPECT_TRUE(scripted.body.empty());
    {
        std::lock_guard<std::mutex> lock(mu);
        EXPECT_EQ(asked[kPosts], 3);
        EXPECT_EQ(asked[kProfile], 1);
    }

    sim.setFaultChooser(nullptr);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(get(postsPath()).status, 200);
}

}  // namespace
}  // namespace vigilo::sim::testing
