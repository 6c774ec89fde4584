#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vigilo {

// Subjects are limited to kMaxSubject bytes: the matcher backtracks by recursion, one level per
// subject character, and a longer subject could exhaust a worker thread's stack. A longer
// subject makes `execute` return false.
class RegexMatcher {
public:
    static constexpr size_t kMaxSubject = 4096;

    bool execute(std::string_view pattern, std::string_view subject, bool caseSensitive = false, bool multiline = true,
                 bool global = true, bool quoteMarker = false);
    std::string subMatch(int matchNumber, int groupNumber, long* position = nullptr) const;
    std::string pattern() const;
    std::string replace(std::string_view replacement) const;
    int matchCount() const;
    std::string matchText(int matchNumber, long* position = nullptr) const;
    int groupCount() const;

private:
    struct Match {
        std::string text;
        long offset = 0;  // byte offset in subject
        std::vector<std::string> groups;
        std::vector<bool> matchedGroups;
        std::vector<long> groupOffsets;  // -2 for a group that did not take part
    };
    bool valid_ = false;
    std::string pattern_, subject_;
    bool caseSensitive_ = false, multiline_ = true, global_ = true;
    std::vector<Match> matches_;
};

// Which characters beside letters, digits, '-' and '.' stay as they are.
enum class UrlEncoding { Strict = 0, KeepQuotesAndParens = 1 /* ' ( ) * */ };

// Percent-encodes bytes (a space as '+'); NUL bytes are dropped.
std::string urlEncode(std::string_view bytes, UrlEncoding encoding);

class FieldList {
public:
    void add(std::string_view name, std::string_view value, bool utf8 = false);
    std::string headerText(bool encode = false) const;
    void parseQuery(std::string_view text, bool utf8 = false);
    std::string get(std::string_view name) const;
    void set(std::string_view name, std::string_view value);
    std::string formText(bool encode = false) const;
    std::vector<std::string> names() const { return names_; }
    std::vector<std::string> values() const { return values_; }
    void clear();
    void remove(std::string_view name);
    std::string jsonText() const;

private:
    std::vector<std::string> names_, values_;
    // Pairs added with the UTF-8 flag are encoded from their UTF-8 bytes, the others from
    // their GBK bytes.
    std::vector<bool> utf8_;
};

}  // namespace vigilo
