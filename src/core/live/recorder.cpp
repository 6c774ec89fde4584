#include "live/recorder.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
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

std::vector<std::string> recorderArguments(const std::string& streamUrl, int port, const std::string& outputFile,
                                           const std::string& roomId, const RecorderOptions& options) {
    // "-y" is a global switch in ffmpeg: it also lets the MP4 output replace the empty file
    // that reserved its unique name (nothing else is ever replaced, the name being new).
    // Without "-flush_packets 1" the fragments stay in ffmpeg's buffers and a killed recorder
    // leaves a file of a few bytes. The first moov is written with the first fragment, not
    // empty ahead of it: only then does ffmpeg pick the audio filters itself, taking the ADTS
    // headers off AAC from MPEG-TS (HLS) and leaving MP3 and FLV's AAC alone. A filter named
    // here would make ffmpeg refuse every stream whose audio it does not fit.
    // One option and its value per pair, one output per line.
    // clang-format off
    std::vector<std::string> args = {"-rw_timeout", "15000000", "-i", streamUrl};
    args.insert(args.end(), {"-c", "copy"});
    if (options.audioOnly) args.push_back("-vn");
    args.insert(args.end(), {"-f", "mpegts", "-y", "udp://127.0.0.1:" + std::to_string(port)});
    args.insert(args.end(), {"-c", "copy"});
    if (options.audioOnly) args.push_back("-vn");
    // Without a picture there is no key frame to cut a fragment at: sound alone is cut every
    // second, or nothing would be written before ffmpeg ends.
    if (options.splitSeconds > 0) {
        // Each part's own muxer gets the fragment and flush options: a part killed with its
        // recorder still plays up to its last fragment.
        args.insert(args.end(), {"-f", "segment", "-segment_time", std::to_string(options.splitSeconds),
                                 "-segment_start_number", "1", "-reset_timestamps", "1", "-segment_format", "mp4",
                                 "-segment_format_options",
                                 std::string("movflags=+frag_keyframe+default_base_moof:flush_packets=1") +
                                     (options.audioOnly ? ":frag_duration=1000000" : ""),
                                 "-metadata", "comment=" + recorderMark(roomId), recordingPartPattern(outputFile)});
        return args;
    }
    args.insert(args.end(), {"-movflags", "+frag_keyframe+default_base_moof"});
    if (options.audioOnly) args.insert(args.end(), {"-frag_duration", "1000000"});
    args.insert(args.end(), {"-flush_packets", "1", "-metadata", "comment=" + recorderMark(roomId), outputFile});
    // clang-format on
    return args;
}

namespace {

constexpr std::string_view kMarkPrefix = "vigilo:";
constexpr std::string_view kCommentPrefix = "comment=";
constexpr std::string_view kUdpPrefix = "udp://127.0.0.1:";
constexpr std::string_view kPartInfix = ".part";
constexpr std::string_view kMp4 = ".mp4";

bool allDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string recordingPartPattern(const std::string& outputFile) {
    std::string_view stem = outputFile;
    if (endsWith(stem, kMp4)) stem.remove_suffix(kMp4.size());
    std::string pattern;
    for (char c : stem) {
        pattern += c;
        if (c == '%') pattern += '%';
    }
    return pattern + std::string(kPartInfix) + "%03d" + std::string(kMp4);
}

std::optional<std::string> stemOfRecordingPart(std::string_view name) {
    if (!endsWith(name, kMp4)) return std::nullopt;
    name.remove_suffix(kMp4.size());
    const std::size_t at = name.rfind(kPartInfix);
    if (at == std::string_view::npos || at == 0 || !allDigits(name.substr(at + kPartInfix.size()))) return std::nullopt;
    return std::string(name.substr(0, at));
}

bool isRecordingPartOf(std::string_view name, std::string_view reserved) {
    if (!endsWith(reserved, kMp4)) return false;
    reserved.remove_suffix(kMp4.size());
    const std::optional<std::string> stem = stemOfRecordingPart(name);
    return stem && *stem == reserved;
}

std::vector<std::string> recordingPartsIn(const std::filesystem::path& dir, const std::string& reserved) {
    std::vector<std::string> parts;
    for (const std::string& name : recordingFilesIn(dir))
        if (isRecordingPartOf(name, reserved)) parts.push_back(name);
    // part999 before part1000: by the number's length, then its digits.
    std::sort(parts.begin(), parts.end(), [](const std::string& a, const std::string& b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    return parts;
}

std::string recorderMark(const std::string& roomId) { return std::string(kMarkPrefix) + roomId; }

std::optional<std::string> roomOfMark(std::string_view mark) {
    if (!startsWith(mark, kMarkPrefix)) return std::nullopt;
    return std::string(mark.substr(kMarkPrefix.size()));
}

std::optional<RecorderCommand> recorderCommandOf(const std::vector<std::string>& commandLine) {
    // Our arguments start at the last "-rw_timeout", after the program itself at least.
    std::size_t at = commandLine.size();
    for (std::size_t i = commandLine.size(); i-- > 1;)
        if (commandLine[i] == "-rw_timeout") {
            at = i;
            break;
        }
    if (at >= commandLine.size() || commandLine.size() - at < 8) return std::nullopt;
    const auto tail = [&](std::size_t i) -> const std::string& { return commandLine[commandLine.size() - 1 - i]; };
    RecorderCommand command;
    command.streamUrl = commandLine[at + 3];
    std::string udp;
    for (std::size_t i = at; i < commandLine.size(); ++i) {
        if (startsWith(commandLine[i], kUdpPrefix) && udp.empty()) udp = commandLine[i];
        if (commandLine[i] == "-vn") command.options.audioOnly = true;
        if (commandLine[i] == "-segment_time" && i + 1 < commandLine.size()) {
            const std::string& text = commandLine[i + 1];
            const auto [end, error] =
                std::from_chars(text.data(), text.data() + text.size(), command.options.splitSeconds);
            if (error != std::errc() || end != text.data() + text.size() || command.options.splitSeconds <= 0)
                return std::nullopt;
        }
    }
    if (udp.empty()) return std::nullopt;
    const std::string_view digits = std::string_view(udp).substr(kUdpPrefix.size());
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), command.port);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    const std::string& comment = tail(1);
    if (!startsWith(comment, kCommentPrefix)) return std::nullopt;
    const std::optional<std::string> room = roomOfMark(std::string_view(comment).substr(kCommentPrefix.size()));
    if (!room) return std::nullopt;
    command.roomId = *room;
    command.outputFile = tail(0);
    if (command.options.splitSeconds > 0) {
        // The pattern names the reserved file: "<stem>.part%03d.mp4" with "%" doubled in the stem.
        const std::string suffix = std::string(kPartInfix) + "%03d" + std::string(kMp4);
        if (!endsWith(command.outputFile, suffix)) return std::nullopt;
        std::string reserved;
        const std::string_view pattern =
            std::string_view(command.outputFile).substr(0, command.outputFile.size() - suffix.size());
        for (std::size_t i = 0; i < pattern.size(); ++i) {
            reserved += pattern[i];
            if (pattern[i] == '%') {
                if (i + 1 >= pattern.size() || pattern[i + 1] != '%') return std::nullopt;
                ++i;
            }
        }
        command.outputFile = reserved + std::string(kMp4);
    }
    const std::string_view output = command.outputFile;
    if (output.size() <= 2 || !startsWith(output, "./") || output.find('/', 2) != std::string_view::npos)
        return std::nullopt;
    // Every other argument exactly as we build them.
    const std::vector<std::string> ours =
        recorderArguments(command.streamUrl, command.port, command.outputFile, command.roomId, command.options);
    if (commandLine.size() - at != ours.size() ||
        !std::equal(commandLine.begin() + static_cast<std::ptrdiff_t>(at), commandLine.end(), ours.begin()))
        return std::nullopt;
    return command;
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

std::string uniqueRecordingName(std::string_view nickname, const std::function<bool(const std::string&)>& taken,
                                std::size_t partBytes) {
    std::string name = recordingStem(nickname, partBytes) + std::string(kExtension);
    for (int n = 2; taken(name) && n < 1000000; ++n) {
        const std::string suffix = "-" + std::to_string(n);
        name = recordingStem(nickname, suffix.size() + partBytes) + suffix + std::string(kExtension);
    }
    return name;
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
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
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

std::vector<RunningRecorder> recordersInDirectory(const std::vector<std::string>& programNames, const fs::path& dir) {
    std::vector<pid_t> candidates;
    for (const std::string& name : programNames) {
        if (name.empty()) continue;
        for (pid_t pid : processesByNameInDirectory(name, dir)) candidates.push_back(pid);
    }
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    std::vector<RunningRecorder> found;
    const uid_t self = ::geteuid();
    for (pid_t pid : candidates) {
        struct stat st {};
        if (::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0 || st.st_uid != self) continue;
        std::optional<RecorderCommand> command = recorderCommandOf(processArguments(pid));
        if (command) found.push_back({pid, std::move(*command)});
    }
    return found;
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
        for (fs::directory_iterator it(proc / "fd", fdError), end; !fdError && it != end; it.increment(fdError)) {
            if (fs::path(readLink(it->path())) == wanted) {
                held = true;
                return;
            }
        }
    });
    return held;
}

std::optional<std::string> recordingMarkOf(const fs::path& file) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::uintmax_t at = 0;
    // The movie header follows the file type at once in what ffmpeg writes; a few boxes more
    // are allowed for. Its metadata is a few hundred bytes of a header of a few kilobytes.
    constexpr std::uintmax_t kMaxHeaderBytes = 4u << 20;
    for (int box = 0; box < 8 && at + 8 <= size; ++box) {
        unsigned char header[8];
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(header), 8)) return std::nullopt;
        const std::string_view type(reinterpret_cast<const char*>(header + 4), 4);
        const std::uintmax_t length = (std::uintmax_t{header[0]} << 24) | (std::uintmax_t{header[1]} << 16) |
                                      (std::uintmax_t{header[2]} << 8) | header[3];
        if (box == 0 && type != "ftyp") return std::nullopt;
        if (type == "moov") {
            if (length < 8 || length > kMaxHeaderBytes || at + length > size) return std::nullopt;
            std::string body(static_cast<std::size_t>(length - 8), '\0');
            if (!in.read(body.data(), static_cast<std::streamsize>(body.size()))) return std::nullopt;
            // The comment's text runs to the end of its data box, whose size stands 16 bytes
            // before the text.
            const std::size_t found = body.find(kMarkPrefix);
            if (found == std::string::npos || found < 16) return std::nullopt;
            const auto* b = reinterpret_cast<const unsigned char*>(body.data() + found - 16);
            const std::size_t dataBox =
                (std::size_t{b[0]} << 24) | (std::size_t{b[1]} << 16) | (std::size_t{b[2]} << 8) | b[3];
            if (body.compare(found - 12, 4, "data") != 0 || dataBox < 16 || found - 16 + dataBox > body.size())
                return std::nullopt;
            return roomOfMark(std::string_view(body).substr(found, dataBox - 16));
        }
        if (length < 8) return std::nullopt;
        at += length;
    }
    return std::nullopt;
}

namespace {

std::uint64_t bigEndian(std::string_view bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < width && at + i < bytes.size(); ++i)
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    return value;
}

// Calls visit(type, body) for each whole box of `bytes`.
template <typename Visit>
void forEachBox(std::string_view bytes, Visit visit) {
    std::size_t at = 0;
    while (at + 8 <= bytes.size()) {
        const std::uint64_t length = bigEndian(bytes, at, 4);
        if (length < 8 || at + length > bytes.size()) return;
        visit(bytes.substr(at + 4, 4), bytes.substr(at + 8, length - 8));
        at += length;
    }
}

void readMovieHeader(std::string_view moov, FragmentScan& scan) {
    forEachBox(moov, [&](std::string_view type, std::string_view trak) {
        if (type != "trak") return;
        std::uint32_t track = 0, timescale = 0;
        std::uint64_t duration = 0;
        forEachBox(trak, [&](std::string_view t, std::string_view body) {
            if (t == "tkhd" && !body.empty())
                track = static_cast<std::uint32_t>(bigEndian(body, body[0] == 1 ? 20 : 12, 4));
            if (t != "mdia") return;
            forEachBox(body, [&](std::string_view m, std::string_view mdhd) {
                if (m != "mdhd" || mdhd.empty()) return;
                const bool wide = mdhd[0] == 1;
                timescale = static_cast<std::uint32_t>(bigEndian(mdhd, wide ? 20 : 12, 4));
                duration = bigEndian(mdhd, wide ? 24 : 16, wide ? 8 : 4);
            });
        });
        if (track == 0 || timescale == 0) return;
        scan.timescales[track] = timescale;
        scan.seconds = std::max(scan.seconds, static_cast<double>(duration) / timescale);
    });
}

void readFragment(std::string_view moof, FragmentScan& scan) {
    forEachBox(moof, [&](std::string_view type, std::string_view traf) {
        if (type != "traf") return;
        std::uint32_t track = 0, defaultDuration = 0;
        std::uint64_t start = 0, length = 0;
        forEachBox(traf, [&](std::string_view t, std::string_view body) {
            if (body.size() < 4) return;
            const std::uint64_t flags = bigEndian(body, 1, 3);
            if (t == "tfhd") {
                track = static_cast<std::uint32_t>(bigEndian(body, 4, 4));
                std::size_t at = 8 + ((flags & 0x01) ? 8 : 0) + ((flags & 0x02) ? 4 : 0);
                if (flags & 0x08) defaultDuration = static_cast<std::uint32_t>(bigEndian(body, at, 4));
            } else if (t == "tfdt") {
                start = bigEndian(body, 4, body[0] == 1 ? 8 : 4);
            } else if (t == "trun") {
                const std::uint64_t count = bigEndian(body, 4, 4);
                std::size_t at = 8 + ((flags & 0x01) ? 4 : 0) + ((flags & 0x04) ? 4 : 0);
                const std::size_t each = ((flags & 0x100) ? 4 : 0) + ((flags & 0x200) ? 4 : 0) +
                                         ((flags & 0x400) ? 4 : 0) + ((flags & 0x800) ? 4 : 0);
                for (std::uint64_t i = 0; i < count && at + each <= body.size(); ++i, at += each)
                    length += (flags & 0x100) ? bigEndian(body, at, 4) : defaultDuration;
            }
        });
        const auto scale = scan.timescales.find(track);
        if (scale == scan.timescales.end() || scale->second == 0) return;
        scan.seconds = std::max(scan.seconds, static_cast<double>(start + length) / scale->second);
    });
}

}  // namespace

std::optional<double> recordedSeconds(const fs::path& file, FragmentScan& scan) {
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(file, ec);
    if (ec) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    // Headers only: media data is stepped over.
    constexpr std::uintmax_t kMaxHeaderBytes = 4u << 20;
    while (scan.offset + 8 <= size) {
        char header[16];
        in.seekg(static_cast<std::streamoff>(scan.offset));
        if (!in.read(header, 8)) break;
        std::uint64_t length = bigEndian(std::string_view(header, 8), 0, 4);
        std::uint64_t headerBytes = 8;
        if (length == 1) {
            if (!in.read(header + 8, 8)) break;
            length = bigEndian(std::string_view(header, 16), 8, 8);
            headerBytes = 16;
        }
        // A box still being written (or one that runs to the end): looked at again later.
        if (length < headerBytes || scan.offset + length > size) break;
        const std::string_view type(header + 4, 4);
        if ((type == "moov" || type == "moof") && length <= kMaxHeaderBytes) {
            std::string body(static_cast<std::size_t>(length - headerBytes), '\0');
            if (!in.read(body.data(), static_cast<std::streamsize>(body.size()))) break;
            if (type == "moov")
                readMovieHeader(body, scan);
            else
                readFragment(body, scan);
        }
        scan.offset += length;
    }
    if (scan.timescales.empty()) return std::nullopt;
    return scan.seconds;
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
