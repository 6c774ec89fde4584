#pragma once
// A live stream made up on the spot: ffmpeg renders a test pattern with a tone in real time,
// served as HTTP-FLV (one generator per client connection, piped into a chunked answer) and as
// HLS (one generator writing a sliding playlist and its segments into a directory). A stream
// can stall (connections stay open, nothing is sent) and end (FLV answers finish, the playlist
// gets its end marker). Every generator is killed and reaped when the stream ends or is
// destroyed.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/process.h"
#include "sim/stream_audio.h"

namespace vigilo::sim {

class Connection;

struct LiveOptions {
    std::string ffmpeg = "ffmpeg";
    int width = 320;
    int height = 240;
    int fps = 25;
    int videoKbps = 300;
    int hlsSegmentSeconds = 1;
    int hlsListSize = 6;
    StreamAudio audio = StreamAudio::Aac;
};

class LiveSource {
public:
    // `dir` receives the HLS playlist and segments (it must exist); `name` is the file stem.
    LiveSource(std::string name, std::string dir, LiveOptions options = {});
    ~LiveSource();
    LiveSource(const LiveSource&) = delete;
    LiveSource& operator=(const LiveSource&) = delete;

    const std::string& name() const { return name_; }
    std::string flvFile() const { return name_ + ".flv"; }
    std::string playlistFile() const { return name_ + ".m3u8"; }
    // Whether `file` (a bare name) belongs to this stream's HLS output.
    bool ownsHlsFile(const std::string& file) const;

    void serveFlv(Connection& conn, bool headOnly);
    void serveHls(Connection& conn, const std::string& file, bool headOnly);

    void setStalled(bool stalled);
    // Frozen, the HLS playlist is answered as it was at that moment, again and again (no new
    // segment, no end marker): a show that stops moving without the connection going quiet.
    void setPlaylistFrozen(bool frozen);
    bool stalled() const { return stalled_; }
    void end();
    bool ended() const { return ended_; }
    int flvClients() const { return flvClients_; }
    bool hlsRunning() const;

    // Whether ffmpeg can be run, and the video encoder it offers (libx264 when present).
    static bool ffmpegAvailable(const std::string& ffmpeg = "ffmpeg");
    static std::string videoEncoder(const std::string& ffmpeg, bool forFlv);
    std::vector<std::string> generatorArgs(bool hls) const;

private:
    void startHls();
    void hlsKeeper();
    void finishPlaylist();
    // Waits while stalled; false when the wait ended because the peer left or the server stops.
    bool waitWhileStalled(Connection& conn);

    std::string name_;
    std::string dir_;
    LiveOptions options_;
    std::atomic<bool> stalled_{false};
    bool frozen_ = false;         // under mu_
    std::string frozenPlaylist_;  // under mu_
    std::atomic<bool> ended_{false};
    std::atomic<int> flvClients_{0};

    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool hlsStarted_ = false;
    bool hlsAlive_ = false;
    bool shuttingDown_ = false;
    std::thread keeper_;
};

}  // namespace vigilo::sim
