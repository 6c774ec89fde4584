#include "web/recordings.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "live/recorder.h"
#include "text/md5.h"

namespace vigilo::web {

namespace {

namespace fs = std::filesystem;

std::string idFor(const std::string& place, const std::string& name) {
    // The place keeps a running file and its collected namesake apart.
    return md5Hex((place == "collected" ? "download/" : "") + name).substr(0, 20);
}

}  // namespace

std::optional<double> mp4Duration(const fs::path& file) {
    // Only a regular file of its own: never through a link the folder's other users made.
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    FragmentScan scan;
    return recordedSeconds(file, scan);
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
