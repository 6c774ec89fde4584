#pragma once
// The small world the vigilo-sim program serves for a demonstration: three accounts (one posts
// a new video every 30 s, one posts three at once after 45 s while the video server fails its
// next two answers, one whose first two answers are empty), two rooms (one live from the start, one on air from 60 s
// for five minutes), a minute from 75 s in which the service allows 20 requests a minute and refuses the rest, the
// notice, an update file, and the link files that point Vigilo at all of it.
#include <chrono>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace vigilo::sim {

struct DemoOptions {
    double timeScale = 1.0;   // multiplies every scenario time (0.1: ten times faster)
    bool liveStreams = true;  // generate the streams with ffmpeg
};

class DemoScenario {
public:
    DemoScenario(Simulator& sim, DemoOptions options);

    // Fills the simulator; call once after it has started.
    void setUp();
    // Plays the scenario's events up to `elapsed` since setUp; returns a line per event.
    std::vector<std::string> advance(std::chrono::steady_clock::duration elapsed);

    std::vector<std::string> accountLinks() const;
    std::vector<std::string> roomLinks() const;
    // "文件1.txt" (accounts) and "文件2.txt" (rooms): one link per line, CR LF, GBK.
    bool writeLinkFiles(const std::string& dir) const;
    // Shell lines that point Vigilo at the simulator.
    std::string environment(const std::string& dataDir) const;

    static constexpr const char* kPosterSecUid = "MS4wLjABAAAAx9HbQz3_vJ0k2YfE5pLr8TqWn1cUoG4sAiKdMhVeB7y";
    static constexpr const char* kLiveRoom = "7282937465012345678";
    static constexpr const char* kLaterRoom = "7282940011122233344";

private:
    std::chrono::steady_clock::duration scaled(double seconds) const;
    Post makePost();

    Simulator& sim_;
    DemoOptions options_;
    std::string video_;
    int postsMade_ = 0;
    int nextPostIndex_ = 1;
    bool laterLive_ = false;
    bool burstMade_ = false;
    bool laterEnded_ = false;
    bool throttled_ = false;
    bool unthrottled_ = false;
    static constexpr int kThrottledPerMinute = 20;
};

// A small valid MP4 made with ffmpeg (a test pattern with a tone); a short placeholder when
// ffmpeg is missing.
std::string makeDemoVideo();

}  // namespace vigilo::sim
