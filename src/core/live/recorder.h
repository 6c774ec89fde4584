#pragma once
// The recorder's pieces that need no monitor: its command, its file names, its loopback port,
// the player script, and what the system says about processes and open files.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace vigilo {

// ffmpeg's arguments (without the program name): one input, an MPEG-TS copy to the loopback
// port and a fragmented MP4 copy to outputFile, which stays playable up to the last fragment
// however ffmpeg ends. The read/write time-out ends a recording whose stream went silent.
std::vector<std::string> recorderArguments(const std::string& streamUrl, int port,
                                           const std::string& outputFile);

// Only network streams go to ffmpeg: http, https, rtmp and rtmps (scheme in any case, a host
// after "//", no blanks or control characters). Anything else could make it read local files.
bool isRecordableUrl(std::string_view url);

// The nickname as one safe file-name stem: "/", NUL and control characters become "_",
// invalid UTF-8 becomes U+FFFD, "." and ".." become underscores, and the stem is cut on a
// character boundary so that stem + suffix + ".mp4" fits in 255 bytes.
std::string recordingStem(std::string_view nickname, std::size_t suffixBytes = 0);

// "<stem>.mp4", else "<stem>-2.mp4", "-3" … : the first name for which taken() is false.
std::string uniqueRecordingName(std::string_view nickname,
                                const std::function<bool(const std::string&)>& taken);

// Whether fileName is one uniqueRecordingName gives for this nickname: "<stem>.mp4" or
// "<stem>-<n>.mp4".
bool isRecordingNameOf(std::string_view fileName, std::string_view nickname);

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

// Renames without ever replacing: false (errno EEXIST) when `to` exists.
bool moveWithoutReplace(const std::filesystem::path& from, const std::filesystem::path& to);

// The names of the regular files of dir (not of its sub-folders) that end in ".mp4" in any
// letter case, sorted.
std::vector<std::string> recordingFilesIn(const std::filesystem::path& dir);

}  // namespace vigilo
