#include "web/recordings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "sys/unique_fd.h"
#include "text/md5.h"

namespace vigilo::web {

namespace {

namespace fs = std::filesystem;

// A damaged or hostile file costs a bounded walk.
constexpr int kMaxBoxes = 200000;
constexpr std::uint64_t kMaxContainer = 64u << 20;

class Reader {
public:
    explicit Reader(int fd) : fd_(fd) {}
    bool read(std::uint64_t at, void* into, std::size_t n) const {
        return ::pread(fd_, into, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    }
    bool bytes(std::uint64_t at, std::size_t n, std::string& out) const {
        out.resize(n);
        return read(at, out.data(), n);
    }

private:
    int fd_;
};

std::uint32_t be32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
std::uint64_t be64(const unsigned char* p) { return (std::uint64_t(be32(p)) << 32) | be32(p + 4); }

struct Box {
    std::string type;
    std::uint64_t start = 0, body = 0, end = 0;
};

// The boxes directly inside [from, to) of a buffer.
std::vector<Box> boxesIn(const std::string& data, std::uint64_t from, std::uint64_t to) {
    std::vector<Box> boxes;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    while (from + 8 <= to && boxes.size() < 10000) {
        std::uint64_t size = be32(p + from);
        Box box;
        box.type.assign(data, from + 4, 4);
        box.start = from;
        box.body = from + 8;
        if (size == 1) {
            if (from + 16 > to) break;
            size = be64(p + from + 8);
            box.body = from + 16;
        } else if (size == 0) {
            size = to - from;
        }
        if (size < box.body - from || from + size > to) break;
        box.end = from + size;
        boxes.push_back(box);
        from = box.end;
    }
    return boxes;
}

const Box* child(const std::vector<Box>& boxes, const char* type) {
    for (const auto& box : boxes)
        if (box.type == type) return &box;
    return nullptr;
}

struct Track {
    std::uint32_t timescale = 0;
    std::uint64_t headerTime = 0;       // the samples the movie header holds itself (mdhd)
    std::uint32_t defaultDuration = 0;  // trex
    std::uint64_t fragmentTime = 0;     // sum of fragment sample durations
};

void readMoov(const std::string& d, std::map<std::uint32_t, Track>& tracks, double& movieSeconds) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    const auto top = boxesIn(d, 0, d.size());
    if (const Box* mvhd = child(top, "mvhd"); mvhd && mvhd->body + 32 <= mvhd->end) {
        const unsigned char* b = p + mvhd->body;
        if (b[0] == 1 && mvhd->body + 32 <= mvhd->end) {
            const std::uint32_t scale = be32(b + 20);
            if (scale) movieSeconds = static_cast<double>(be64(b + 24)) / scale;
        } else if (mvhd->body + 20 <= mvhd->end) {
            const std::uint32_t scale = be32(b + 12);
            if (scale) movieSeconds = static_cast<double>(be32(b + 16)) / scale;
        }
    }
    for (const auto& trak : top) {
        if (trak.type != "trak") continue;
        const auto inTrak = boxesIn(d, trak.body, trak.end);
        const Box* tkhd = child(inTrak, "tkhd");
        const Box* mdia = child(inTrak, "mdia");
        if (!tkhd || !mdia || tkhd->body + 24 > tkhd->end) continue;
        const unsigned char* t = p + tkhd->body;
        const std::uint32_t id = t[0] == 1 ? be32(t + 20) : be32(t + 12);
        const auto inMdia = boxesIn(d, mdia->body, mdia->end);
        const Box* mdhd = child(inMdia, "mdhd");
        if (!mdhd || mdhd->body + 20 > mdhd->end) continue;
        const unsigned char* m = p + mdhd->body;
        if (m[0] == 1 && mdhd->body + 32 > mdhd->end) continue;
        // ffmpeg keeps the first fragment's samples in the movie header unless told otherwise.
        tracks[id].timescale = m[0] == 1 ? be32(m + 20) : be32(m + 12);
        tracks[id].headerTime = m[0] == 1 ? be64(m + 24) : be32(m + 16);
    }
    if (const Box* mvex = child(top, "mvex")) {
        for (const auto& trex : boxesIn(d, mvex->body, mvex->end)) {
            if (trex.type != "trex" || trex.body + 24 > trex.end) continue;
            const unsigned char* t = p + trex.body;
            tracks[be32(t + 4)].defaultDuration = be32(t + 12);
        }
    }
}

void readMoof(const std::string& d, std::map<std::uint32_t, Track>& tracks) {
    const auto* p = reinterpret_cast<const unsigned char*>(d.data());
    for (const auto& traf : boxesIn(d, 0, d.size())) {
        if (traf.type != "traf") continue;
        const auto inTraf = boxesIn(d, traf.body, traf.end);
        const Box* tfhd = child(inTraf, "tfhd");
        if (!tfhd || tfhd->body + 8 > tfhd->end) continue;
        const unsigned char* h = p + tfhd->body;
        const std::uint32_t flags = be32(h) & 0xFFFFFF;
        const std::uint32_t id = be32(h + 4);
        Track& track = tracks[id];
        std::uint32_t defaultDuration = track.defaultDuration;
        std::uint64_t at = tfhd->body + 8;
        if (flags & 0x01) at += 8;
        if (flags & 0x02) at += 4;
        if ((flags & 0x08) && at + 4 <= tfhd->end) defaultDuration = be32(p + at);
        for (const auto& trun : inTraf) {
            if (trun.type != "trun" || trun.body + 8 > trun.end) continue;
            const unsigned char* r = p + trun.body;
            const std::uint32_t rflags = be32(r) & 0xFFFFFF;
            const std::uint32_t count = be32(r + 4);
            std::uint64_t pos = trun.body + 8;
            if (rflags & 0x01) pos += 4;
            if (rflags & 0x04) pos += 4;
            if (!(rflags & 0x100)) {
                track.fragmentTime += std::uint64_t(count) * defaultDuration;
                continue;
            }
            const std::uint64_t stride = 4 * (((rflags & 0x100) ? 1 : 0) + ((rflags & 0x200) ? 1 : 0) +
                                              ((rflags & 0x400) ? 1 : 0) + ((rflags & 0x800) ? 1 : 0));
            for (std::uint32_t i = 0; i < count && pos + stride <= trun.end; ++i, pos += stride)
                track.fragmentTime += be32(p + pos);
        }
    }
}

std::string idFor(const std::string& place, const std::string& name) {
    // The place keeps a running file and its collected namesake apart.
    return md5Hex((place == "collected" ? "download/" : "") + name).substr(0, 20);
}

}  // namespace

std::optional<double> mp4Duration(const fs::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const std::uint64_t fileSize = static_cast<std::uint64_t>(st.st_size);
    Reader reader(fd.get());
    std::map<std::uint32_t, Track> tracks;
    double movieSeconds = 0;
    bool sawMoov = false, sawMoof = false;  // a moof before any moov is not ours to read
    std::uint64_t at = 0;
    for (int n = 0; n < kMaxBoxes && at + 8 <= fileSize; ++n) {
        unsigned char head[16];
        if (!reader.read(at, head, 8)) break;
        std::uint64_t size = be32(head);
        std::uint64_t headSize = 8;
        const std::string type(reinterpret_cast<char*>(head + 4), 4);
        if (size == 1) {
            if (!reader.read(at + 8, head + 8, 8)) break;
            size = be64(head + 8);
            headSize = 16;
        } else if (size == 0) {
            size = fileSize - at;
        }
        if (size < headSize) break;
        // A box cut by a kill at the end of a growing file is simply not counted.
        if (at + size > fileSize) break;
        if ((type == "moov" || type == "moof") && size - headSize <= kMaxContainer) {
            std::string body;
            if (!reader.bytes(at + headSize, static_cast<std::size_t>(size - headSize), body)) break;
            if (type == "moov") {
                readMoov(body, tracks, movieSeconds);
                sawMoov = true;
            } else if (sawMoov) {
                readMoof(body, tracks);
                sawMoof = true;
            }
        }
        at += size;
    }
    if (!sawMoov) return std::nullopt;
    double longest = 0;
    for (const auto& [id, track] : tracks)
        if (track.timescale)
            longest = std::max(longest, static_cast<double>(track.headerTime + track.fragmentTime) / track.timescale);
    if (sawMoof || longest > 0) return longest > 0 ? longest : movieSeconds;
    return movieSeconds;
}

std::vector<RecordingFile> RecordingList::scan(const Paths& paths, const std::vector<RecorderInfo>& running) {
    std::map<std::string, std::string> recording;  // file name → nickname
    for (const auto& info : running) recording[info.fileName] = info.nickname;
    std::vector<RecordingFile> files;
    for (const auto& [dir, place] :
         {std::pair{paths.dataDir, std::string("data")}, std::pair{paths.collectionDir(), std::string("collected")}}) {
        std::error_code ec;
        for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
            // Only regular files of the folder itself: a link could lead anywhere.
            const auto status = it->symlink_status(ec);
            if (ec || !fs::is_regular_file(status)) continue;
            const std::string name = it->path().filename().string();
            if (it->path().extension() != ".mp4") continue;
            RecordingFile file;
            file.name = name;
            file.path = it->path();
            if (place == "data") {
                const auto found = recording.find(name);
                file.place = found != recording.end() ? "running" : "left";
                if (found != recording.end()) file.nickname = found->second;
            } else {
                file.place = place;
            }
            file.id = idFor(file.place == "collected" ? "collected" : "data", name);
            struct stat st {};
            if (::lstat(file.path.c_str(), &st) != 0) continue;
            file.size = static_cast<std::uintmax_t>(st.st_size);
            file.modified = st.st_mtime;
            files.push_back(std::move(file));
        }
    }
    return files;
}

std::vector<RecordingFile> RecordingList::list(const Paths& paths, const std::vector<RecorderInfo>& running) {
    std::vector<RecordingFile> files = scan(paths, running);
    for (auto& file : files) {
        std::optional<Known> known;
        const std::string key = file.path.string();
        {
            std::lock_guard lock(mutex_);
            if (auto it = durations_.find(key);
                it != durations_.end() && it->second.size == file.size && it->second.modified == file.modified)
                known = it->second;
        }
        if (!known) {
            known = Known{file.size, file.modified, mp4Duration(file.path)};
            std::lock_guard lock(mutex_);
            if (durations_.size() > 4096) durations_.clear();
            durations_[key] = *known;
        }
        file.duration = known->duration;
    }
    std::sort(files.begin(), files.end(), [](const RecordingFile& a, const RecordingFile& b) {
        return a.modified != b.modified ? a.modified > b.modified : a.name < b.name;
    });
    return files;
}

std::optional<RecordingFile> RecordingList::find(const Paths& paths, const std::vector<RecorderInfo>& running,
                                                 const std::string& id) {
    for (auto& file : scan(paths, running))
        if (file.id == id) return file;
    return std::nullopt;
}

}  // namespace vigilo::web
