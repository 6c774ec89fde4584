#include "sim/live_source.h"

#include <poll.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>

#include "sim/http_server.h"

namespace vigilo::sim {

namespace {

constexpr auto kStep = std::chrono::milliseconds(100);
constexpr auto kPlaylistWait = std::chrono::seconds(20);
constexpr auto kGeneratorGrace = std::chrono::seconds(3);

bool readFile(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream ss;
    ss << in.rdbuf();
    out = ss.str();
    return true;
}

std::string readAll(int fd) {
    std::string out;
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string chunk(const char* data, size_t size) {
    char head[32];
    std::snprintf(head, sizeof head, "%zx\r\n", size);
    std::string out = head;
    out.append(data, size);
    out += "\r\n";
    return out;
}

}  // namespace

LiveSource::LiveSource(std::string name, std::string dir, LiveOptions options)
    : name_(std::move(name)), dir_(std::move(dir)), options_(std::move(options)) {}

LiveSource::~LiveSource() {
    end();
    {
        std::lock_guard<std::mutex> lock(mu_);
        shuttingDown_ = true;
    }
    cv_.notify_all();
    if (keeper_.joinable()) keeper_.join();
}

bool LiveSource::ownsHlsFile(const std::string& file) const {
    if (file == playlistFile()) return true;
    return file.size() > name_.size() + 4 && file.compare(0, name_.size() + 1, name_ + "-") == 0 &&
           file.compare(file.size() - 3, 3, ".ts") == 0;
}

bool LiveSource::ffmpegAvailable(const std::string& ffmpeg) { return findExecutable(ffmpeg); }

std::string LiveSource::videoEncoder(const std::string& ffmpeg, bool forFlv) {
    static std::mutex mu;
    static std::map<std::string, bool> hasX264;
    bool x264 = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        auto it = hasX264.find(ffmpeg);
        if (it != hasX264.end()) {
            x264 = it->second;
        } else {
            ChildProcess::Options o;
            o.pipeStdout = true;
            ChildProcess probe = ChildProcess::spawn({ffmpeg, "-hide_banner", "-encoders"}, o);
            if (probe.running()) {
                std::string list = readAll(probe.stdoutFd());
                x264 = list.find(" libx264 ") != std::string::npos;
                probe.waitExit(std::chrono::seconds(5));
            }
            hasX264[ffmpeg] = x264;
        }
    }
    if (x264) return "libx264";
    // FLV carries no MPEG-4 part 2; its own Sorenson codec always exists.
    return forFlv ? "flv" : "mpeg2video";
}

std::vector<std::string> LiveSource::generatorArgs(bool hls) const {
    const auto& o = options_;
    std::string fps = std::to_string(o.fps);
    std::vector<std::string> args = {
        o.ffmpeg,   "-hide_banner",
        "-nostdin", "-loglevel",
        "error",    "-re",
        "-f",       "lavfi",
        "-i",       "testsrc=size=" + std::to_string(o.width) + "x" + std::to_string(o.height) + ":rate=" + fps};
    const bool audio = o.audio != StreamAudio::None;
    if (audio) args.insert(args.end(), {"-re", "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"});
    args.insert(args.end(), {"-map", "0:v"});
    if (audio) args.insert(args.end(), {"-map", "1:a"});
    std::string encoder = videoEncoder(o.ffmpeg, !hls);
    args.insert(args.end(), {"-c:v", encoder});
    if (encoder == "libx264") args.insert(args.end(), {"-preset", "ultrafast", "-tune", "zerolatency"});
    int gop = hls ? o.fps * o.hlsSegmentSeconds : o.fps;
    args.insert(args.end(), {"-pix_fmt", "yuv420p", "-g", std::to_string(gop), "-sc_threshold", "0", "-b:v",
                             std::to_string(o.videoKbps) + "k"});
    if (o.audio == StreamAudio::Aac) args.insert(args.end(), {"-c:a", "aac", "-b:a", "64k"});
    if (o.audio == StreamAudio::Mp3) args.insert(args.end(), {"-c:a", "libmp3lame", "-b:a", "64k"});
    if (hls) {
        args.insert(args.end(),
                    {"-f", "hls", "-hls_time", std::to_string(o.hlsSegmentSeconds), "-hls_list_size",
                     std::to_string(o.hlsListSize), "-hls_flags", "delete_segments+temp_file", "-hls_segment_filename",
                     dir_ + "/" + name_ + "-%05d.ts", dir_ + "/" + playlistFile()});
    } else {
        args.insert(args.end(), {"-f", "flv", "-flvflags", "no_duration_filesize", "pipe:1"});
    }
    return args;
}

void LiveSource::setStalled(bool stalled) { stalled_ = stalled; }

void LiveSource::setPlaylistFrozen(bool frozen) {
    std::string text;
    if (frozen) readFile(dir_ + "/" + playlistFile(), text);
    std::lock_guard<std::mutex> lock(mu_);
    frozen_ = frozen;
    frozenPlaylist_ = std::move(text);
}

void LiveSource::end() {
    ended_ = true;
    cv_.notify_all();
}

bool LiveSource::hlsRunning() const {
    std::lock_guard<std::mutex> lock(mu_);
    return hlsAlive_;
}

bool LiveSource::waitWhileStalled(Connection& conn) {
    while (stalled_ && !ended_)
        if (!conn.pause(kStep)) return false;
    return true;
}

void LiveSource::serveFlv(Connection& conn, bool headOnly) {
    // A stalled stream accepts a new viewer and then sends nothing at all.
    if (!waitWhileStalled(conn)) {
        conn.closeAfterResponse();
        return;
    }
    if (ended_) {
        conn.send({404, "", {{"Content-Type", "text/html"}}, ""}, headOnly);
        return;
    }
    HttpResponse head{
        200,
        "",
        {{"Content-Type", "video/x-flv"}, {"Cache-Control", "no-cache"}, {"Access-Control-Allow-Origin", "*"}},
        ""};
    bool chunked = !conn.isHttp10();
    if (chunked) head.headers.emplace_back("Transfer-Encoding", "chunked");
    if (headOnly) {
        conn.write(Connection::serializeHead(head, std::string::npos, conn.keepAlive()));
        return;
    }

    ChildProcess::Options o;
    o.pipeStdout = true;
    ChildProcess gen = ChildProcess::spawn(generatorArgs(false), o);
    if (!gen.running()) {
        conn.send({503, "", {{"Content-Type", "text/html"}}, ""});
        return;
    }
    conn.closeAfterResponse();
    if (!conn.write(Connection::serializeHead(head, std::string::npos, false))) return;

    ++flvClients_;
    bool finished = false;  // the stream itself ended (not the viewer, not the server)
    std::vector<char> buf(64 * 1024);
    while (!conn.stopping()) {
        if (ended_) {
            finished = true;
            break;
        }
        if (stalled_) {
            if (!conn.pause(kStep)) break;
            continue;
        }
        pollfd fds[3] = {{gen.stdoutFd(), POLLIN, 0}, {conn.fd(), POLLRDHUP, 0}, {-1, POLLIN, 0}};
        int r = ::poll(fds, 2, static_cast<int>(kStep.count()));
        if (r < 0 && errno != EINTR) break;
        if (r <= 0) continue;
        if (fds[1].revents) break;
        if (!(fds[0].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = ::read(gen.stdoutFd(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            finished = true;
            break;
        }
        bool ok = chunked ? conn.write(chunk(buf.data(), static_cast<size_t>(n)))
                          : conn.write(std::string_view(buf.data(), static_cast<size_t>(n)));
        if (!ok) break;
    }
    gen.killAndReap();
    if (finished && chunked) conn.write("0\r\n\r\n");
    --flvClients_;
}

void LiveSource::startHls() {
    std::lock_guard<std::mutex> lock(mu_);
    if (hlsStarted_ || ended_) return;
    hlsStarted_ = true;
    hlsAlive_ = true;
    // The generator is owned by a thread that lives as long as the stream, so that dying with
    // its parent thread (setpriv --pdeathsig) means dying with the stream.
    keeper_ = std::thread([this] { hlsKeeper(); });
}

void LiveSource::hlsKeeper() {
    ChildProcess::Options o;
    o.stderrFile = dir_ + "/" + name_ + ".log";
    ChildProcess gen = ChildProcess::spawn(generatorArgs(true), o);
    {
        std::unique_lock<std::mutex> lock(mu_);
        while (!ended_ && !shuttingDown_ && gen.running()) {
            cv_.wait_for(lock, std::chrono::milliseconds(500));
            lock.unlock();
            bool exited = gen.waitExit(std::chrono::milliseconds(0));
            lock.lock();
            if (exited) break;
        }
    }
    // SIGINT lets ffmpeg write its trailer, which closes the playlist with its end marker.
    gen.terminate(SIGINT, kGeneratorGrace);
    finishPlaylist();
    std::lock_guard<std::mutex> lock(mu_);
    hlsAlive_ = false;
}

void LiveSource::finishPlaylist() {
    std::string path = dir_ + "/" + playlistFile();
    std::string text;
    if (!readFile(path, text)) return;
    if (text.find("#EXT-X-ENDLIST") != std::string::npos) return;
    std::ofstream out(path, std::ios::binary | std::ios::app);
    if (!text.empty() && text.back() != '\n') out << '\n';
    out << "#EXT-X-ENDLIST\n";
}

void LiveSource::serveHls(Connection& conn, const std::string& file, bool headOnly) {
    if (!waitWhileStalled(conn)) {
        conn.closeAfterResponse();
        return;
    }
    bool playlist = file == playlistFile();
    std::string path = dir_ + "/" + file;
    if (playlist && !ended_) {
        startHls();
        auto deadline = std::chrono::steady_clock::now() + kPlaylistWait;
        while (::access(path.c_str(), R_OK) != 0 && !ended_ && std::chrono::steady_clock::now() < deadline) {
            if (!conn.pause(kStep)) {
                conn.closeAfterResponse();
                return;
            }
        }
    }
    if (playlist && ended_) {
        // The keeper closes the playlist; wait for it so a late reader sees the end marker.
        auto deadline = std::chrono::steady_clock::now() + kGeneratorGrace * 2;
        while (hlsRunning() && std::chrono::steady_clock::now() < deadline)
            if (!conn.pause(kStep)) return;
    }
    std::string body;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (playlist && frozen_ && !frozenPlaylist_.empty()) body = frozenPlaylist_;
    }
    if (body.empty() && !readFile(path, body)) {
        conn.send({404, "", {{"Content-Type", "text/html"}}, ""}, headOnly);
        return;
    }
    std::string type = playlist ? "application/vnd.apple.mpegurl" : "video/mp2t";
    conn.send({200,
               "",
               {{"Content-Type", type}, {"Cache-Control", "no-cache"}, {"Access-Control-Allow-Origin", "*"}},
               std::move(body)},
              headOnly);
}

}  // namespace vigilo::sim
