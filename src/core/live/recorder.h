#pragma once
// The recorder's pieces that need no monitor: its command, its file names, its loopback port,
// the player script, and what the system says about processes and open files.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilo {

// What a recording keeps besides the defaults: the sound alone, and parts of at most
// splitSeconds each (0: one file).
struct RecorderOptions {
    bool audioOnly = false;
    int splitSeconds = 0;
    bool operator==(const RecorderOptions&) const = default;
};

// ffmpeg's arguments (without the program name): one input, an MPEG-TS copy to the loopback
// port and a fragmented MP4 copy to outputFile, which stays playable up to the last fragment
// however ffmpeg ends. The read/write time-out ends a recording whose stream went silent. The
// file output carries the room's mark. Split, the copy goes to parts named by
// recordingPartPattern(outputFile) (outputFile itself only reserves the name), each a
// fragmented MP4 of its own that starts at time 0 and carries the mark; the cut falls on a
// key frame of the one running ffmpeg, so no frame is lost between two parts.
std::vector<std::string> recorderArguments(const std::string& streamUrl, int port, const std::string& outputFile,
                                           const std::string& roomId, const RecorderOptions& options = {});

// The parts of a split recording whose name is reserved as "<stem>.mp4": "<stem>.part001.mp4",
// "<stem>.part002.mp4", … (ffmpeg's pattern, with any "%" of the stem doubled).
std::string recordingPartPattern(const std::string& outputFile);
// Whether `name` is a part of the recording reserved as `reserved` (both bare names).
bool isRecordingPartOf(std::string_view name, std::string_view reserved);
// Whether `name` is a part of any split recording ("<stem>.part<digits>.mp4"); its stem when it is.
std::optional<std::string> stemOfRecordingPart(std::string_view name);
// The parts of the recording reserved as `reserved` found in dir, in their order.
std::vector<std::string> recordingPartsIn(const std::filesystem::path& dir, const std::string& reserved);

// The mark of a recording of ours: "vigilo:<room id>", written by ffmpeg as the comment of
// every file it makes for the output (the pieces of a segmented output too), and standing in
// the recorder's arguments. A recorder or a recording is known as ours, and as its room's, by
// the mark, never by its file name: names collapse through the safe-name rules and nicknames
// are not unique.
std::string recorderMark(const std::string& roomId);
// The room of a mark; nothing for a text that is no mark of ours.
std::optional<std::string> roomOfMark(std::string_view mark);

// What a recorder of ours was started with.
struct RecorderCommand {
    std::string streamUrl;
    int port = 0;
    std::string outputFile;  // as given: "./<name>"
    std::string roomId;
    RecorderOptions options;
};
// The recorder a process's command line (program name, and any interpreter before it, first)
// runs: only when it ends in exactly the arguments recorderArguments builds, its output a bare
// name in its working directory.
std::optional<RecorderCommand> recorderCommandOf(const std::vector<std::string>& commandLine);

// Only network streams go to ffmpeg: http, https, rtmp and rtmps (scheme in any case, a host
// after "//", no blanks or control characters). Anything else could make it read local files.
bool isRecordableUrl(std::string_view url);

// The nickname as one safe file-name stem: "/", NUL and control characters become "_",
// invalid UTF-8 becomes U+FFFD, "." and ".." become underscores, and the stem is cut on a
// character boundary so that stem + suffix + ".mp4" fits in 255 bytes.
std::string recordingStem(std::string_view nickname, std::size_t suffixBytes = 0);

// "<stem>.mp4", else "<stem>-2.mp4", "-3" … : the first name for which taken() is false.
// partBytes: room left in the name for the part number of a split recording.
std::string uniqueRecordingName(std::string_view nickname, const std::function<bool(const std::string&)>& taken,
                                std::size_t partBytes = 0);
// The room a split recording's part number takes in a file name (".part" and its digits).
inline constexpr std::size_t kPartNameBytes = 12;

// Loopback port of a row: "111" + row for rows 1..99 (and 1110 for row 0, no selection),
// 11100 + row from row 100 on, so every row has its own valid port; -1 past the last port.
int recorderPort(int rowNumber);

// The player script of a loopback port.
std::string playScriptContent(int port);

// Every process (but us) whose executable or command name is `name` and whose working
// directory is `dir`.
std::vector<pid_t> processesByNameInDirectory(const std::string& name, const std::filesystem::path& dir);

// A process's command line, one argument per element; empty when it cannot be read.
std::vector<std::string> processArguments(pid_t pid);

// A recorder of ours that runs in `dir`: a process of this user named like the recorder
// (ffmpeg, or the configured program's name), working in `dir`, whose command line is one of
// ours. Anything else (another user's job, a user's own ffmpeg there) is never touched.
struct RunningRecorder {
    pid_t pid = 0;
    RecorderCommand command;
};
std::vector<RunningRecorder> recordersInDirectory(const std::vector<std::string>& programNames,
                                                  const std::filesystem::path& dir);

// The fields of a /proc/<pid>/stat line after the command name, from the state (the third) on.
// The name in its brackets may hold anything, brackets and spaces too. Empty without a name.
std::vector<std::string_view> statFieldsAfterName(std::string_view stat);

// The start time in a /proc/<pid>/stat line, in clock ticks after boot.
std::optional<unsigned long long> startTicksOfStat(std::string_view stat);

// How long a process has been running; nothing when it cannot be told.
std::optional<std::chrono::milliseconds> processAge(pid_t pid);

// Whether any process (us included) holds the file open.
bool fileHeldOpen(const std::filesystem::path& file);

// Whether a recording file was begun but never got a frame: empty (the name's reservation), or
// an MP4 whose top-level boxes start with the file type but hold no media data (the movie
// header alone, written when ffmpeg is stopped before the first fragment, plays nothing).
// Anything else, however odd, counts as a recording.
bool recordingNeverStarted(const std::filesystem::path& file);

// The room of the mark a recording file carries in its metadata; nothing when it carries none
// (only the movie header, read within its first boxes, is looked at).
std::optional<std::string> recordingMarkOf(const std::filesystem::path& file);

// How long a fragmented MP4 recording lasts by its own boxes: the end of its last fragment (the
// fragment's decode time plus its samples' durations) or, before any fragment, its movie
// header's track duration, in seconds. `scan` keeps the place reached, so each look at a growing
// file reads only what is new. Nothing when the file tells no duration.
struct FragmentScan {
    std::uintmax_t offset = 0;
    std::map<std::uint32_t, std::uint32_t> timescales;  // track id → units per second
    double seconds = 0;
};
std::optional<double> recordedSeconds(const std::filesystem::path& file, FragmentScan& scan);

// The names of the regular files of dir (not of its sub-folders) that end in ".mp4" in any
// letter case, sorted.
std::vector<std::string> recordingFilesIn(const std::filesystem::path& dir);

}  // namespace vigilo
