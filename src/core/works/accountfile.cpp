#include "works/accountfile.h"

#include <array>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <vector>

#include "app/linkfile.h"
#include "text/charset.h"
#include "text/strings.h"
#include "works/monitor.h"

namespace vigilo {
namespace {

// Every writer of the file goes through here, so two initial queries finishing together
// cannot lose each other's section.
std::mutex& accountFileMutex() {
    static std::mutex mutex;
    return mutex;
}

// GBK lead bytes take the next byte with them; a trail byte may look like '[', ']' or '=',
// so the markers are only searched at single-byte positions.
bool isLeadByte(unsigned char b) { return b >= 0x81 && b <= 0xFE; }

std::vector<std::size_t> singleBytePositions(std::string_view line, char wanted) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const auto b = static_cast<unsigned char>(line[i]);
        if (isLeadByte(b) && i + 1 < line.size()) {
            ++i;
            continue;
        }
        if (line[i] == wanted) found.push_back(i);
    }
    return found;
}

std::string_view trimAscii(std::string_view text) {
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool equalNoCaseAscii(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

std::optional<std::string_view> sectionName(std::string_view line) {
    const std::string_view trimmed = trimAscii(line);
    if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
    const auto closers = singleBytePositions(trimmed, ']');
    if (closers.empty()) return std::nullopt;
    return trimAscii(trimmed.substr(1, closers.back() - 1));
}

std::optional<std::string_view> keyName(std::string_view line) {
    const auto equals = singleBytePositions(line, '=');
    if (equals.empty()) return std::nullopt;
    return trimAscii(line.substr(0, equals.front()));
}

std::vector<std::string> splitLines(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t end = bytes.find('\n', start);
        if (end == std::string_view::npos) end = bytes.size();
        std::string_view line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

bool readWhole(const fs::path& file, std::string& bytes) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return true;
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

std::string applyIniKeys(std::string_view fileBytes, std::string_view section, const std::string* keys,
                         const std::string* values, int count) {
    section = trimAscii(section);
    std::vector<std::string> lines = splitLines(fileBytes);

    // The first section of that name is the one that is edited, as the profile API does.
    std::optional<std::size_t> header;
    for (std::size_t i = 0; i < lines.size() && !header; ++i) {
        const auto name = sectionName(lines[i]);
        if (name && equalNoCaseAscii(*name, section)) header = i;
    }
    if (!header) {
        lines.push_back("[" + std::string(section) + "]");
        header = lines.size() - 1;
    }

    for (int k = 0; k < count; ++k) {
        const std::string line = keys[k] + "=" + values[k];
        std::size_t end = *header + 1;
        while (end < lines.size() && !sectionName(lines[end])) ++end;
        bool replaced = false;
        for (std::size_t i = *header + 1; i < end; ++i) {
            const auto key = keyName(lines[i]);
            if (key && equalNoCaseAscii(*key, keys[k])) {
                lines[i] = line;
                replaced = true;
                break;
            }
        }
        if (replaced) continue;
        // New keys go after the section's last non-blank line, before any blank separator.
        std::size_t at = end;
        while (at > *header + 1 && trimAscii(lines[at - 1]).empty()) --at;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), line);
    }

    std::string out;
    for (const auto& line : lines) out += line + "\r\n";
    return out;
}

bool writeAccountEntry(const fs::path& file, const AccountEntry& entry) {
    static const std::array<std::string, 9> keyNames = {
        "分享链接", "sec_uid", "抖音ID", "昵称", "粉丝数", "作品数", "最新作品标题", "最新作品id", "最新作品链接"};
    const std::array<const std::string*, 9> utf8Values = {&entry.link,       &entry.secUid,       &entry.shortId,
                                                          &entry.nickname,   &entry.followerText, &entry.postCount,
                                                          &entry.newestDesc, &entry.newestId,     &entry.playAddress};

    std::array<std::string, 9> keys, values;
    for (std::size_t i = 0; i < keyNames.size(); ++i) {
        keys[i] = utf8ToGbk(keyNames[i]);
        values[i] = utf8ToGbk(oneLine(*utf8Values[i]));
    }
    const std::string section = utf8ToGbk(oneLine(entry.uid));

    std::lock_guard<std::mutex> lock(accountFileMutex());
    std::string bytes;
    if (!readWhole(file, bytes)) return false;
    return writeFileAtomically(file,
                               applyIniKeys(bytes, section, keys.data(), values.data(), static_cast<int>(keys.size())));
}

}  // namespace vigilo
