#include "text/regex.h"

#include <regex>

#include "text/charset.h"

namespace vigilo {

namespace {

std::regex::flag_type regexFlags(bool caseSensitive, bool multiline) {
    auto flags = std::regex::ECMAScript;
    if (!caseSensitive) flags |= std::regex::icase;
    if (multiline) flags |= std::regex::multiline;
    return flags;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

bool RegexMatcher::execute(std::string_view pattern, std::string_view subject, bool caseSensitive, bool multiline,
                           bool global, bool quoteMarker) {
    valid_ = false;
    matches_.clear();
    caseSensitive_ = caseSensitive;
    multiline_ = multiline;
    global_ = global;
    pattern_ = quoteMarker ? replaceAll(std::string(pattern), "#引号", "\"") : std::string(pattern);
    subject_ = std::string(subject);
    if (subject_.size() > kMaxSubject) return false;
    try {
        const std::regex re(pattern_, regexFlags(caseSensitive, multiline));
        for (std::sregex_iterator it(subject_.cbegin(), subject_.cend(), re), end; it != end; ++it) {
            const std::smatch& m = *it;
            Match match;
            match.text = m.str(0);
            match.offset = static_cast<long>(m.position(0));
            for (size_t g = 1; g < m.size(); ++g) {
                match.groups.push_back(m[g].matched ? m.str(g) : std::string());
                match.matchedGroups.push_back(m[g].matched);
                match.groupOffsets.push_back(m[g].matched ? static_cast<long>(m.position(g)) : -2);
            }
            matches_.push_back(std::move(match));
            if (!global) break;
        }
    } catch (const std::exception&) {
        matches_.clear();
        return false;
    }
    valid_ = true;
    return true;
}

std::string RegexMatcher::subMatch(int matchNumber, int groupNumber, long* position) const {
    if (position) *position = -2;
    if (matchNumber < 1 || static_cast<size_t>(matchNumber) > matches_.size()) return {};
    const Match& m = matches_[static_cast<size_t>(matchNumber - 1)];
    if (groupNumber < 1 || static_cast<size_t>(groupNumber) > m.groups.size()) return {};
    const size_t g = static_cast<size_t>(groupNumber - 1);
    if (position) *position = m.groupOffsets[g];
    return m.groups[g];
}

std::string RegexMatcher::pattern() const { return pattern_; }

std::string RegexMatcher::replace(std::string_view replacement) const {
    if (!valid_) return {};
    try {
        const std::regex re(pattern_, regexFlags(caseSensitive_, multiline_));
        const auto flags = global_ ? std::regex_constants::format_default : std::regex_constants::format_first_only;
        return std::regex_replace(subject_, re, std::string(replacement), flags);
    } catch (const std::exception&) {
        return {};
    }
}

int RegexMatcher::matchCount() const { return static_cast<int>(matches_.size()); }

std::string RegexMatcher::matchText(int matchNumber, long* position) const {
    if (position) *position = -2;
    if (matchNumber < 1 || static_cast<size_t>(matchNumber) > matches_.size()) return {};
    const Match& m = matches_[static_cast<size_t>(matchNumber - 1)];
    if (position) *position = m.offset;
    return m.text;
}

int RegexMatcher::groupCount() const { return matches_.empty() ? 0 : static_cast<int>(matches_.front().groups.size()); }

std::string urlEncode(std::string_view bytes, UrlEncoding encoding) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == 0) continue;
        const bool keep =
            (encoding == UrlEncoding::KeepQuotesAndParens && (c == '\'' || c == '(' || c == ')' || c == '*')) ||
            c == '-' || c == '.' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        if (keep) {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

namespace {

std::string encodeField(std::string_view text, bool utf8) {
    return urlEncode(utf8 ? std::string(text) : utf8ToGbk(text), UrlEncoding::KeepQuotesAndParens);
}

}  // namespace

void FieldList::add(std::string_view name, std::string_view value, bool utf8) {
    names_.emplace_back(name);
    values_.emplace_back(value);
    utf8_.push_back(utf8);
}

std::string FieldList::headerText(bool encode) const {
    std::string out;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (i) out += "\r\n";
        out += names_[i];
        out += ": ";
        out += encode ? encodeField(values_[i], utf8_[i]) : values_[i];
    }
    return out;
}

void FieldList::parseQuery(std::string_view text, bool utf8) {
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string_view::npos) amp = text.size();
        const std::string_view part = text.substr(pos, amp - pos);
        if (!part.empty()) {
            const size_t eq = part.find('=');
            if (eq == std::string_view::npos)
                add(part, "", utf8);
            else
                add(part.substr(0, eq), part.substr(eq + 1), utf8);
        }
        pos = amp + 1;
    }
}

std::string FieldList::get(std::string_view name) const {
    for (size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name) return values_[i];
    return {};
}

void FieldList::set(std::string_view name, std::string_view value) {
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) {
            values_[i] = std::string(value);
            return;
        }
    }
    add(name, value);
}

std::string FieldList::formText(bool encode) const {
    std::string out;
    for (size_t i = 0; i < names_.size(); ++i) {
        if (i) out += '&';
        out += encode ? encodeField(names_[i], utf8_[i]) : names_[i];
        out += '=';
        out += encode ? encodeField(values_[i], utf8_[i]) : values_[i];
    }
    return out;
}

void FieldList::clear() {
    names_.clear();
    values_.clear();
    utf8_.clear();
}

void FieldList::remove(std::string_view name) {
    for (size_t i = 0; i < names_.size(); ++i) {
        if (names_[i] == name) {
            names_.erase(names_.begin() + static_cast<long>(i));
            values_.erase(values_.begin() + static_cast<long>(i));
            utf8_.erase(utf8_.begin() + static_cast<long>(i));
            return;
        }
    }
}

std::string FieldList::jsonText() const {
    std::string out = "{";
    for (size_t i = 0; i < names_.size(); ++i) {
        if (i) out += ',';
        out += '"';
        out += names_[i];
        out += "\":\"";
        for (const char c : values_[i]) {
            if (c == '"') out += '\\';
            out += c;
        }
        out += '"';
    }
    out += '}';
    return out;
}

}  // namespace vigilo
