#include "live/recorder.h"

#include <fcntl.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <system_error>

#include "text/filenames.h"
#include "text/strings.h"

namespace vigilo {

namespace fs = std::filesystem;

std::vector<std::string> recorderArguments(const std::string& streamUrl, int port,
                                           const std::string& outputFile) {
    // "-y" is a global switch in ffmpeg: it also lets the MP4 output replace the empty file
    // that reserved its unique name (nothing else is ever replaced, the name being new).
    // Without "-flush_packets 1" the fragments stay in ffmpeg's buffers and a killed recorder
    // leaves a file of a few bytes. The first moov is written with the first fragment, not
    // empty ahead of it: only then does ffmpeg pick the audio filters itself, taking the ADTS
    // headers off AAC from MPEG-TS (HLS) and leaving MP3 and FLV's AAC alone. A filter named
    // here would make ffmpeg refuse every stream whose audio it does not fit.
    // One option and its value per pair, one output per line.
    // clang-format off
    return {"-rw_timeout", "15000000",
            "-i", streamUrl,
            "-c", "copy", "-f", "mpegts", "-y", "udp://127.0.0.1:" + std::to_string(port),
            "-c", "copy", "-movflags", "+frag_keyframe+default_base_moof",
            "-flush_packets", "1", outputFile};
    // clang-format on
}

bool isRecordableUrl(std::string_view url) {
    const std::size_t sep = url.find("://");
    if (sep == std::string_view::npos) return false;
    const std::string scheme = toLowerAscii(url.substr(0, sep));
    if (scheme != "http" && scheme != "https" && scheme != "rtmp" && scheme != "rtmps") return false;
    const std::string_view rest = url.substr(sep + 3);
    if (rest.empty() || rest.front() == '/' || rest.front() == '?' || rest.front() == '#') return false;
    return std::none_of(url.begin(), url.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7F;
    });
}

namespace {

constexpr std::size_t kMaxFileNameBytes = 255;
constexpr std::string_view kExtension = ".mp4";

}  // namespace

std::string recordingStem(std::string_view nickname, std::size_t suffixBytes) {
    const std::size_t budget = kMaxFileNameBytes - kExtension.size() - std::min(suffixBytes, std::size_t{64});
    return safeFileName(nickname, budget);
}

std::string uniqueRecordingName(std::string_view nickname,
                                const std::function<bool(const std::string&)>& taken) {
    std::string name = recordingStem(nickname) + std::string(kExtension);
    for (int n = 2; taken(name) && n < 1000000; ++n) {
        const std::string suffix = "-" + std::to_string(n);
        name = recordingStem(nickname, suffix.size()) + suffix + std::string(kExtension);
    }
    return name;
}

bool isRecordingNameOf(std::string_view fileName, std::string_view nickname) {
    if (!endsWith(fileName, kExtension)) return false;
    const std::string_view base = fileName.substr(0, fileName.size() - kExtension.size());
    if (base == recordingStem(nickname)) return true;
    const std::size_t dash = base.rfind('-');
    if (dash == std::string_view::npos || dash + 1 == base.size()) return false;
    const std::string_view digits = base.substr(dash + 1);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        digits.front() == '0')
        return false;
    return base.substr(0, dash) == recordingStem(nickname, base.size() - dash);
}

int recorderPort(int rowNumber) {
    if (rowNumber < 0) return -1;
    if (rowNumber < 100) return std::stoi("111" + std::to_string(rowNumber));
    const long port = 11100L + rowNumber;
    return port <= 65535 ? static_cast<int>(port) : -1;
}

std::string playScriptContent(int port) {
    return "#!/bin/sh\nffplay -x 360 -y 640 udp://127.0.0.1:" + std::to_string(port) + "\n";
}

namespace {

std::string readLink(const fs::path& link) {
    std::error_code ec;
    fs::path target = fs::read_symlink(link, ec);
    return ec ? std::string() : target.string();
}

std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

template <typename Visit>
void forEachProcess(Visit visit) {
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() ||
            !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        visit(static_cast<pid_t>(std::stol(name)), it->path());
    }
}

}  // namespace

std::vector<pid_t> processesByNameInDirectory(const std::string& name, const fs::path& dir) {
    std::vector<pid_t> found;
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(dir, ec);
    const pid_t self = ::getpid();
    forEachProcess([&](pid_t pid, const fs::path& proc) {
        if (pid == self) return;
        const std::string cwd = readLink(proc / "cwd");
        if (cwd.empty() || fs::path(cwd) != wanted) return;
        std::string exe = fs::path(readLink(proc / "exe")).filename().string();
        if (endsWith(exe, " (deleted)")) exe.resize(exe.size() - std::string_view(" (deleted)").size());
        if (exe == name || firstLine(proc / "comm") == name) found.push_back(pid);
    });
    return found;
}

std::vector<std::string> processArguments(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::vector<std::string> arguments;
    std::string argument;
    while (std::getline(in, argument, '\0')) arguments.push_back(argument);
    return arguments;
}

std::vector<std::string_view> statFieldsAfterName(std::string_view stat) {
    std::vector<std::string_view> fields;
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return fields;
    std::string_view rest = stat.substr(close + 1);
    while (true) {
        const std::size_t begin = rest.find_first_not_of(" \n");
        if (begin == std::string_view::npos) break;
        rest.remove_prefix(begin);
        const std::size_t end = std::min(rest.find_first_of(" \n"), rest.size());
        fields.push_back(rest.substr(0, end));
        rest.remove_prefix(end);
    }
    return fields;
}

std::optional<unsigned long long> startTicksOfStat(std::string_view stat) {
    // Field 22; the list starts at field 3.
    const std::vector<std::string_view> fields = statFieldsAfterName(stat);
    if (fields.size() < 20) return std::nullopt;
    const std::string_view digits = fields[19];
    unsigned long long ticks = 0;
    const auto [at, error] = std::from_chars(digits.data(), digits.data() + digits.size(), ticks);
    if (error != std::errc() || at != digits.data() + digits.size()) return std::nullopt;
    return ticks;
}

std::optional<std::chrono::milliseconds> processAge(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) return std::nullopt;
    const std::optional<unsigned long long> ticks = startTicksOfStat(stat);
    const long perSecond = ::sysconf(_SC_CLK_TCK);
    timespec boot{};
    if (!ticks || perSecond <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &boot) != 0) return std::nullopt;
    const long double startedMs = static_cast<long double>(*ticks) * 1000 / perSecond;
    const long double nowMs = static_cast<long double>(boot.tv_sec) * 1000 + boot.tv_nsec / 1e6L;
    if (nowMs < startedMs) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(static_cast<long long>(nowMs - startedMs));
}

bool recordingNeverStarted(const fs::path& file) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec) return false;
    if (size == 0) return true;
    std::ifstream in(file, std::ios::binary);
    std::uintmax_t at = 0;
    // The first media data follows the file type, the movie header and the first fragment's
    // header, and at most a few others.
    for (int box = 0; box < 16 && at + 8 <= size; ++box) {
        unsigned char header[16];
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(header), 8)) return false;
        const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
        if (box == 0 && type != "ftyp") return false;
        std::uintmax_t length = (std::uintmax_t{header[0]} << 24) | (std::uintmax_t{header[1]} << 16) |
                                (std::uintmax_t{header[2]} << 8) | header[3];
        std::uintmax_t headerBytes = 8;
        if (length == 1) {  // a 64-bit size follows the type
            if (!in.read(reinterpret_cast<char*>(header + 8), 8)) return false;
            length = 0;
            for (int i = 8; i < 16; ++i) length = (length << 8) | header[i];
            headerBytes = 16;
        }
        // Media data with something in it (ffmpeg stopped before the first frame writes an
        // empty one).
        if (type == "mdat" && (length > headerBytes || (length == 0 && at + headerBytes < size))) return false;
        // 0: the box runs to the end of the file; below 8: nothing after it can be read.
        if (length < 8) return true;
        at += length;
    }
    // Many boxes and still no media: not a file of ours to judge.
    return at + 8 > size;
}

bool fileHeldOpen(const fs::path& file) {
    std::error_code ec;
    const fs::path wanted = fs::weakly_canonical(file, ec);
    bool held = false;
    forEachProcess([&](pid_t, const fs::path& proc) {
        if (held) return;
        std::error_code fdError;
        for (fs::directory_iterator it(proc / "fd", fdError), end; !fdError && it != end;
             it.increment(fdError)) {
            if (fs::path(readLink(it->path())) == wanted) {
                held = true;
                return;
            }
        }
    });
    return held;
}

bool moveWithoutReplace(const fs::path& from, const fs::path& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the no-replace rename: a hard link fails when the target exists.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

std::vector<std::string> recordingFilesIn(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError) || it->is_symlink(typeError)) continue;
        const std::string name = it->path().filename().string();
        if (name.size() >= kExtension.size() &&
            toLowerAscii(name.substr(name.size() - kExtension.size())) == kExtension)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace vigilo
