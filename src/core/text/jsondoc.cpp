#include "text/jsondoc.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <unordered_set>

#include "text/strings.h"

namespace vigilo {

namespace {

using Json = nlohmann::ordered_json;
// The object's members as the plain vector it is (ordered_map hides indexing).
using Members = Json::object_t::Container;

// Deeper input is refused as invalid: every walk over a tree is bounded by this, and no
// service answer comes anywhere near it.
constexpr size_t kMaxDepth = 512;

// An assignment may extend an array with null holes, but not without bound.
constexpr size_t kMaxArrayGrowth = 1u << 16;

// Where a backslash stored through the text setter lives in the document (U+2400).
constexpr std::string_view kMarker = "\xE2\x90\x80";

// ---------------------------------------------------------------------------------------
// Reading JSON text.

// What a filtered parse keeps: the members and elements named on the way to each path the
// reader asked for, and everything below a path's end. Elements are named by their index.
struct KeepNode {
    bool whole = false;
    // Elements before the last one named keep their place as nulls, so indexes still read
    // the same element; those after it are dropped.
    size_t indexSpan = 0;
    std::vector<std::pair<std::string, std::unique_ptr<KeepNode>>> children;

    const KeepNode* child(std::string_view name) const {
        for (const auto& [n, node] : children)
            if (n == name) return node.get();
        return nullptr;
    }
    KeepNode& add(std::string_view name) {
        for (auto& [n, node] : children)
            if (n == name) return *node;
        if (!name.empty() && name.size() <= 9 && name.find_first_not_of("0123456789") == std::string_view::npos)
            indexSpan = std::max(indexSpan, static_cast<size_t>(std::stoul(std::string(name))) + 1);
        children.emplace_back(std::string(name), std::make_unique<KeepNode>());
        return *children.back().second;
    }
};

// Builds the tree straight from the parser's events: numbers become doubles as in
// JavaScript, depth is bounded, and a repeated member name keeps its first place with the
// last value, as an object literal does.
//
// An object's members are gathered in a scratch list of their own and moved into the object
// once it closes, with its size known. Growing the object's own member vector instead would
// copy every finished member on each reallocation, whole subtrees included, since its
// elements have constant names and so cannot be moved.
class TreeBuilder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    // With a filter only what it names is built; the rest is read and dropped.
    explicit TreeBuilder(Json& root, const KeepNode* filter = nullptr) : root_(root), filter_(filter) {}

    bool null() { return !admit() || put(Json(nullptr)) != nullptr; }
    bool boolean(bool value) { return !admit() || put(Json(value)) != nullptr; }
    bool number_integer(number_integer_t value) { return !admit() || put(Json(static_cast<double>(value))) != nullptr; }
    bool number_unsigned(number_unsigned_t value) {
        return !admit() || put(Json(static_cast<double>(value))) != nullptr;
    }
    bool number_float(number_float_t value, const string_t&) { return !admit() || put(Json(value)) != nullptr; }
    bool string(string_t& value) { return !admit() || put(Json(std::move(value))) != nullptr; }
    bool binary(binary_t&) { return false; }
    bool start_object(std::size_t) {
        if (!admitContainer()) return stack_.size() + skipping_ < kMaxDepth;
        if (!open(Json::object())) return false;
        if (pending_.size() <= objectDepth_) pending_.emplace_back();
        pending_[objectDepth_++].clear();
        return true;
    }
    bool key(string_t& name) {
        if (filter_ != nullptr) {
            if (skipping_ > 0) return true;
            const KeepNode* parent = keep_.back();
            if (parent != nullptr) {
                const KeepNode* node = parent->child(name);
                if (node == nullptr) {
                    skipMember_ = true;
                    return true;
                }
                memberNode_ = node->whole ? nullptr : node;
            } else {
                memberNode_ = nullptr;
            }
        }
        auto& members = pending_[objectDepth_ - 1];
        members.emplace_back(std::move(name), nullptr);
        member_ = &members.back().second;
        return true;
    }
    bool end_object() {
        if (closeSkipped()) return true;
        auto& scratch = pending_[--objectDepth_];
        mergeRepeatedNames(scratch);
        Members& members = stack_.back()->get_ref<Json::object_t&>();
        members.reserve(scratch.size());
        for (auto& [name, value] : scratch) members.emplace_back(std::move(name), std::move(value));
        scratch.clear();
        close();
        return true;
    }
    bool start_array(std::size_t) {
        if (!admitContainer()) return stack_.size() + skipping_ < kMaxDepth;
        return open(Json::array());
    }
    bool end_array() {
        if (closeSkipped()) return true;
        close();
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

private:
    using Scratch = std::vector<std::pair<std::string, Json>>;

    // Whether the value starting now is kept; on true, pendingNode_ is the filter below it
    // (null: everything).
    bool admit() {
        if (filter_ == nullptr) return true;
        if (skipping_ > 0) return false;
        if (stack_.empty()) {
            pendingNode_ = filter_->whole ? nullptr : filter_;
            return true;
        }
        const KeepNode* parent = keep_.back();
        if (stack_.back()->is_array()) {
            const size_t index = nextIndex_.back()++;
            if (parent == nullptr) {
                pendingNode_ = nullptr;
                return true;
            }
            char buf[24];
            const auto res = std::to_chars(buf, buf + sizeof buf, index);
            const KeepNode* node = parent->child(std::string_view(buf, static_cast<size_t>(res.ptr - buf)));
            if (node == nullptr) {
                if (index < parent->indexSpan) put(Json(nullptr));
                return false;
            }
            pendingNode_ = node->whole ? nullptr : node;
            return true;
        }
        if (skipMember_) {
            skipMember_ = false;
            return false;
        }
        pendingNode_ = memberNode_;
        return true;
    }
    // A container that is not kept is only counted until it closes.
    bool admitContainer() {
        if (admit()) return true;
        ++skipping_;
        return false;
    }
    bool closeSkipped() {
        if (skipping_ == 0) return false;
        --skipping_;
        return true;
    }
    void close() {
        stack_.pop_back();
        if (filter_ != nullptr) {
            keep_.pop_back();
            nextIndex_.pop_back();
        }
    }

    Json* put(Json&& value) {
        if (stack_.empty()) {
            root_ = std::move(value);
            return &root_;
        }
        Json& parent = *stack_.back();
        if (parent.is_array()) {
            auto& elements = parent.get_ref<Json::array_t&>();
            elements.push_back(std::move(value));
            return &elements.back();
        }
        *member_ = std::move(value);
        return member_;
    }
    bool open(Json&& container) {
        if (stack_.size() >= kMaxDepth) return false;
        stack_.push_back(put(std::move(container)));
        if (filter_ != nullptr) {
            keep_.push_back(pendingNode_);
            nextIndex_.push_back(0);
        }
        return true;
    }
    static void mergeRepeatedNames(Scratch& members) {
        const size_t n = members.size();
        if (n < 2) return;
        bool repeated = false;
        // Objects of the service's size are checked pairwise; a hash set only pays off on
        // larger ones.
        if (n <= 32) {
            for (size_t i = 1; i < n && !repeated; ++i)
                for (size_t k = 0; k < i && !repeated; ++k) repeated = members[i].first == members[k].first;
        } else {
            std::unordered_set<std::string_view> seen;
            seen.reserve(n);
            for (const auto& m : members)
                if (!seen.insert(m.first).second) {
                    repeated = true;
                    break;
                }
        }
        if (!repeated) return;
        Scratch merged;
        std::unordered_map<std::string, size_t> place;
        for (auto& m : members) {
            const auto [it, fresh] = place.emplace(m.first, merged.size());
            if (fresh)
                merged.emplace_back(std::move(m.first), std::move(m.second));
            else
                merged[it->second].second = std::move(m.second);
        }
        members = std::move(merged);
    }

    Json& root_;
    std::vector<Json*> stack_;
    Json* member_ = nullptr;
    // One scratch member list per open object, kept between objects for their capacity.
    std::vector<Scratch> pending_;
    size_t objectDepth_ = 0;

    const KeepNode* filter_ = nullptr;
    std::vector<const KeepNode*> keep_;  // per open container: its filter (null: keep all)
    std::vector<size_t> nextIndex_;      // per open container: the next element's index
    size_t skipping_ = 0;                // containers open inside one that is left out
    bool skipMember_ = false;            // the value after a refused name is left out
    const KeepNode* memberNode_ = nullptr;
    const KeepNode* pendingNode_ = nullptr;
};

enum class Parsed { Value, Nothing, Invalid };

// A text as the engine's eval would take it, for JSON texts: white space only is no value.
Parsed parseJson(std::string_view text, Json& out, const KeepNode* filter = nullptr) {
    if (trimJsSpace(text).empty()) return Parsed::Nothing;
    try {
        TreeBuilder builder(out, filter);
        if (Json::sax_parse(text.data(), text.data() + text.size(), &builder)) return Parsed::Value;
    } catch (const std::exception&) {
    }
    out = nullptr;
    return Parsed::Invalid;
}

// ---------------------------------------------------------------------------------------
// Writing.

bool needsUnicodeEscape(uint32_t cp) {
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0xAD || (cp >= 0x600 && cp <= 0x604) || cp == 0x70F ||
           cp == 0x17B4 || cp == 0x17B5 || (cp >= 0x200C && cp <= 0x200F) || (cp >= 0x2028 && cp <= 0x202F) ||
           (cp >= 0x2060 && cp <= 0x206F) || cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFF);
}

// Decodes one well-formed UTF-8 sequence of 2 to 4 bytes at s[i]; 0 when it is not one.
size_t decodeUtf8(std::string_view s, size_t i, uint32_t& cp) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    size_t n;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, cp = c & 0x07;
    else
        return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

void appendUnicodeEscape(std::string& out, uint32_t cp) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(cp >> shift) & 0xF];
}

// A text in double quotes, escaped as the writer does; a marker character comes out as a
// bare backslash.
void writeString(std::string& out, std::string_view s) {
    out += '"';
    size_t run = 0;  // start of the pending stretch copied as it is
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        uint32_t cp = c;
        size_t n = 1;
        if (c >= 0x80) {
            n = decodeUtf8(s, i, cp);
            if (n == 0) {  // a stray byte goes out unchanged
                ++i;
                continue;
            }
            if (!needsUnicodeEscape(cp) && cp != 0x2400) {
                i += n;
                continue;
            }
        }
        out.append(s.substr(run, i - run));
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            case 0x2400: out += '\\'; break;
            default: appendUnicodeEscape(out, cp); break;
        }
        i += n;
        run = i;
    }
    out.append(s.substr(run));
    out += '"';
}

double numberOf(const Json& v) {
    switch (v.type()) {
        case Json::value_t::number_float: return v.get<double>();
        case Json::value_t::number_integer: return static_cast<double>(v.get<Json::number_integer_t>());
        case Json::value_t::number_unsigned: return static_cast<double>(v.get<Json::number_unsigned_t>());
        default: return 0;
    }
}

void writeScalar(std::string& out, const Json& v) {
    switch (v.type()) {
        case Json::value_t::string: writeString(out, v.get_ref<const std::string&>()); break;
        case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
        case Json::value_t::number_float:
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned: {
            const double d = numberOf(v);
            out += std::isfinite(d) ? jsNumberText(d) : "null";
            break;
        }
        default: out += "null"; break;
    }
}

// Compact JSON, without recursion.
void writeJson(std::string& out, const Json& value) {
    if (!value.is_structured()) {
        writeScalar(out, value);
        return;
    }
    struct Frame {
        const Json* node;
        size_t next;
    };
    std::vector<Frame> stack;
    out += value.is_object() ? '{' : '[';
    stack.push_back({&value, 0});
    while (!stack.empty()) {
        const Json& node = *stack.back().node;
        const size_t i = stack.back().next;
        const bool object = node.is_object();
        const size_t size =
            object ? node.get_ref<const Json::object_t&>().size() : node.get_ref<const Json::array_t&>().size();
        if (i == size) {
            out += object ? '}' : ']';
            stack.pop_back();
            continue;
        }
        ++stack.back().next;
        if (i) out += ',';
        const Json* child;
        if (object) {
            const Members& members = node.get_ref<const Json::object_t&>();
            const auto& member = members[i];
            writeString(out, member.first);
            out += ':';
            child = &member.second;
        } else {
            child = &node.get_ref<const Json::array_t&>()[i];
        }
        if (child->is_structured()) {
            out += child->is_object() ? '{' : '[';
            stack.push_back({child, 0});
        } else {
            writeScalar(out, *child);
        }
    }
}

std::string unmark(std::string_view s) {
    std::string out;
    size_t pos = 0;
    for (size_t at = s.find(kMarker); at != std::string_view::npos; at = s.find(kMarker, pos)) {
        out.append(s.substr(pos, at - pos));
        out += '\\';
        pos = at + kMarker.size();
    }
    if (pos == 0) return std::string(s);
    out.append(s.substr(pos));
    return out;
}

std::string mark(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        if (c == '\\')
            out += kMarker;
        else
            out += c;
    }
    return out;
}

// The value as the engine's toString gives it (before the marker is replaced).
void appendScriptText(std::string& out, const Json& v, size_t depth = 0) {
    switch (v.type()) {
        case Json::value_t::string: out += v.get_ref<const std::string&>(); break;
        case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
        case Json::value_t::number_float:
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned: out += jsNumberText(numberOf(v)); break;
        case Json::value_t::object: out += "[object Object]"; break;
        case Json::value_t::array: {
            if (depth > kMaxDepth) break;
            bool first = true;
            for (const Json& e : v.get_ref<const Json::array_t&>()) {
                if (!first) out += ',';
                first = false;
                appendScriptText(out, e, depth + 1);
            }
            break;
        }
        default: break;
    }
}

std::string leafText(const Json& v) {
    std::string out;
    appendScriptText(out, v);
    return unmark(out);
}

// ---------------------------------------------------------------------------------------
// Paths.

struct Segment {
    bool isIndex = false;
    std::string_view key;
    size_t index = 0;
};

bool identStart(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '$' ||
           static_cast<unsigned char>(c) >= 0x80;
}
bool identPart(char c) { return identStart(c) || (c >= '0' && c <= '9'); }

// Yields the segments of a member-access path one at a time. With `implicitDot` the path
// starts with a bare member name, as the callers write it.
class PathCursor {
public:
    enum Step { End, Ok, Bad };
    PathCursor(std::string_view path, bool implicitDot) : p_(path), implicitDot_(implicitDot) {}

    Step next(Segment& seg) {
        if (pos_ >= p_.size()) return End;
        const bool bare = implicitDot_ && pos_ == 0;
        if (bare || p_[pos_] == '.') {
            if (!bare) ++pos_;
            const size_t begin = pos_;
            if (pos_ >= p_.size() || !identStart(p_[pos_])) return Bad;
            while (pos_ < p_.size() && identPart(p_[pos_])) ++pos_;
            seg = {false, p_.substr(begin, pos_ - begin), 0};
            return Ok;
        }
        if (p_[pos_] != '[' || pos_ + 1 >= p_.size()) return Bad;
        ++pos_;
        const char q = p_[pos_];
        if (q == '\'' || q == '"') {
            const size_t close = p_.find(q, pos_ + 1);
            if (close == std::string_view::npos || close + 1 >= p_.size() || p_[close + 1] != ']') return Bad;
            seg = {false, p_.substr(pos_ + 1, close - pos_ - 1), 0};
            pos_ = close + 2;
            return Ok;
        }
        const size_t begin = pos_;
        size_t value = 0;
        bool huge = false;
        while (pos_ < p_.size() && p_[pos_] >= '0' && p_[pos_] <= '9') {
            if (value > (SIZE_MAX - 9) / 10)
                huge = true;
            else
                value = value * 10 + static_cast<size_t>(p_[pos_] - '0');
            ++pos_;
        }
        if (pos_ == begin || pos_ >= p_.size() || p_[pos_] != ']') return Bad;
        ++pos_;
        seg = {true, {}, huge ? SIZE_MAX : value};
        return Ok;
    }

private:
    std::string_view p_;
    bool implicitDot_;
    size_t pos_ = 0;
};

// The resolved expression P: segments applied to the root.
// The filter of a parse that keeps only these paths. A path that cannot be read keeps nothing.
std::unique_ptr<KeepNode> keepTree(const std::vector<std::string_view>& paths) {
    auto root = std::make_unique<KeepNode>();
    for (const std::string_view path : paths) {
        PathCursor cursor(path, !path.empty() && path[0] != '[');
        std::vector<std::string> names;
        Segment seg;
        PathCursor::Step step;
        while ((step = cursor.next(seg)) == PathCursor::Ok)
            names.push_back(seg.isIndex ? std::to_string(seg.index) : std::string(seg.key));
        if (step == PathCursor::Bad) continue;
        KeepNode* node = root.get();
        for (const auto& name : names) node = &node->add(name);
        node->whole = true;
    }
    return root;
}

struct PathP {
    std::string_view rel;
    bool implicitDot = false;
};

// A JavaScript array index written as a name ("0", "12"; not "01").
bool arrayIndexName(std::string_view key, size_t& index) {
    if (key.empty() || key.size() > 15 || (key.size() > 1 && key[0] == '0')) return false;
    index = 0;
    for (const char c : key) {
        if (c < '0' || c > '9') return false;
        index = index * 10 + static_cast<size_t>(c - '0');
    }
    return true;
}

std::string_view indexName(size_t index, char (&buf)[24]) {
    const auto res = std::to_chars(buf, buf + sizeof buf, index);
    return {buf, static_cast<size_t>(res.ptr - buf)};
}

// Lookup outcome: a value, no value ("undefined"), or a failed evaluation.
struct Found {
    Json* value = nullptr;
    bool failed = false;
    bool present() const { return value && !value->is_null(); }
};

Json* findMember(Json& object, std::string_view name) {
    for (auto& m : object.get_ref<Json::object_t&>())
        if (m.first == name) return &m.second;
    return nullptr;
}

// One segment applied to a value that exists.
Found applySegment(Json* from, const Segment& seg) {
    if (!from || from->is_null()) return {nullptr, true};
    if (from->is_object()) {
        char buf[24];
        return {findMember(*from, seg.isIndex ? indexName(seg.index, buf) : seg.key), false};
    }
    if (from->is_array()) {
        size_t index = seg.index;
        if (!seg.isIndex && !arrayIndexName(seg.key, index)) return {};
        auto& elements = from->get_ref<Json::array_t&>();
        return {index < elements.size() ? &elements[index] : nullptr, false};
    }
    return {};  // members of texts, numbers and booleans read as undefined
}

}  // namespace

// ---------------------------------------------------------------------------------------

struct JsonDoc::Impl {
    Json root = Json::object();
    bool undefined = false;

    Json* rootValue() { return undefined ? nullptr : &root; }

    Found walk(const PathP& p) {
        PathCursor cursor(p.rel, p.implicitDot);
        Found cur{rootValue(), false};
        Segment seg;
        for (;;) {
            switch (cursor.next(seg)) {
                case PathCursor::End: return cur;
                case PathCursor::Bad: return {nullptr, true};
                case PathCursor::Ok:
                    cur = applySegment(cur.value, seg);
                    if (cur.failed) return cur;
                    break;
            }
        }
    }

    // The path rule: a path that starts with the document name and reaches a value from the
    // root variable is taken as written; anything else is relative to the root.
    PathP resolve(std::string_view path) {
        if (path.starts_with("da")) {
            const std::string_view rest = path.substr(2);
            if (rest.empty() || rest[0] == '.' || rest[0] == '[') {
                const PathP absolute{rest, false};
                if (walk(absolute).present()) return absolute;
            }
        }
        return {path, !path.empty() && path[0] != '['};
    }

    Found lookup(std::string_view path) { return walk(resolve(path)); }

    // Where an assignment to P goes: the parent value and the last segment.
    struct Place {
        bool ok = false;
        bool isRoot = false;
        Json* parent = nullptr;
        Segment last;
    };

    Place place(const PathP& p) {
        PathCursor cursor(p.rel, p.implicitDot);
        Place out;
        Found cur{rootValue(), false};
        Segment seg;
        bool haveLast = false;
        for (;;) {
            const auto step = cursor.next(seg);
            if (step == PathCursor::Bad) return {};
            if (step == PathCursor::End) break;
            if (haveLast) {
                cur = applySegment(cur.value, out.last);
                if (cur.failed) return {};
            }
            out.last = seg;
            haveLast = true;
        }
        if (!haveLast) {
            out.ok = out.isRoot = true;
            return out;
        }
        if (!cur.value || cur.value->is_null()) return {};  // a missing intermediate member
        out.parent = cur.value;
        out.ok = true;
        return out;
    }

    // Assigns to P; only the last member is created.
    Json* assign(const PathP& p, Json value) {
        const Place pl = place(p);
        if (!pl.ok) return nullptr;
        if (pl.isRoot) {
            root = std::move(value);
            undefined = false;
            return &root;
        }
        Json& parent = *pl.parent;
        if (parent.is_object()) {
            char buf[24];
            const std::string_view name = pl.last.isIndex ? indexName(pl.last.index, buf) : pl.last.key;
            if (Json* existing = findMember(parent, name)) {
                *existing = std::move(value);
                return existing;
            }
            auto& members = parent.get_ref<Json::object_t&>();
            members.emplace_back(std::string(name), std::move(value));
            return &members.back().second;
        }
        if (parent.is_array()) {
            size_t index = pl.last.index;
            if (!pl.last.isIndex && !arrayIndexName(pl.last.key, index)) return nullptr;
            return setElement(parent, index, std::move(value));
        }
        return nullptr;  // texts, numbers and booleans take no members
    }

    static Json* setElement(Json& array, size_t index, Json value) {
        auto& elements = array.get_ref<Json::array_t&>();
        if (index < elements.size()) {
            elements[index] = std::move(value);
            return &elements[index];
        }
        if (index - elements.size() > kMaxArrayGrowth) return nullptr;
        elements.resize(index);  // the gap reads as null, as holes do
        elements.push_back(std::move(value));
        return &elements.back();
    }
};

namespace {

// Merges `source` into `target` the way the script's extend does it: arrays take the
// source's elements at their end; objects take each source member, descending where the
// target already holds an object or array.
void extend(Json& target, const Json& source, size_t depth = 0) {
    if (depth > kMaxDepth) return;
    if (target.is_array()) {
        auto& elements = target.get_ref<Json::array_t&>();
        if (source.is_array()) {
            for (const Json& e : source.get_ref<const Json::array_t&>()) elements.push_back(e);
        } else if (source.is_object()) {
            for (const auto& m : source.get_ref<const Json::object_t&>()) elements.push_back(m.second);
        }
        return;
    }
    if (!target.is_object()) return;
    auto merge = [&](std::string_view name, const Json& value) {
        Json* current = findMember(target, name);
        if (!current) {
            target.get_ref<Json::object_t&>().emplace_back(std::string(name), value);
        } else if (current->is_structured()) {
            extend(*current, value, depth + 1);
        } else {
            *current = value;
        }
    };
    if (source.is_object()) {
        for (const auto& m : source.get_ref<const Json::object_t&>()) merge(m.first, m.second);
    } else if (source.is_array()) {
        const auto& elements = source.get_ref<const Json::array_t&>();
        char buf[24];
        for (size_t i = 0; i < elements.size(); ++i) merge(indexName(i, buf), elements[i]);
    }
}

// The value argument of add and setElement: JSON text, or a plain text stored as it is. The
// plain text goes into the engine between single quotes with nothing escaped, so a quote or a
// line break in it would break the script; such a value is refused.
bool valueArgument(std::string_view value, bool json, Json& out) {
    if (!json) {
        if (value.find_first_of("'\r\n") != std::string_view::npos) return false;
        out = std::string(value);
        return true;
    }
    return parseJson(value, out) == Parsed::Value;
}

}  // namespace

JsonDoc::JsonDoc() : impl_(std::make_shared<Impl>()) {}
JsonDoc::~JsonDoc() = default;
JsonDoc::JsonDoc(const JsonDoc&) = default;
JsonDoc& JsonDoc::operator=(const JsonDoc&) = default;
JsonDoc::JsonDoc(JsonDoc&&) noexcept = default;
JsonDoc& JsonDoc::operator=(JsonDoc&&) noexcept = default;

bool JsonDoc::parse(std::string_view text, bool literal) { return parseFiltered(text, literal, nullptr); }

namespace {

// Keep trees by the paths they were built from. A reader asks for the same list on every
// answer (a post list: 750 paths), and building its tree cost a quarter of reading the
// answer; comparing the list with the one it was built from costs a few microseconds.
// The cache is bounded, and a tree stays alive while a parse still uses it.
class KeepTreeCache {
public:
    std::shared_ptr<const KeepNode> treeFor(const std::vector<std::string_view>& paths) {
        {
            std::lock_guard lock(mutex_);
            for (const Entry& entry : entries_)
                if (std::equal(entry.paths.begin(), entry.paths.end(), paths.begin(), paths.end())) return entry.tree;
        }
        std::shared_ptr<const KeepNode> tree = keepTree(paths);
        std::lock_guard lock(mutex_);
        if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
        entries_.push_back({std::vector<std::string>(paths.begin(), paths.end()), tree});
        return tree;
    }

private:
    static constexpr size_t kEntries = 16;
    struct Entry {
        std::vector<std::string> paths;
        std::shared_ptr<const KeepNode> tree;
    };
    std::mutex mutex_;
    std::vector<Entry> entries_;
};

KeepTreeCache& keepTreeCache() {
    // Never destroyed: a reader on another thread may still parse while the process ends.
    static KeepTreeCache* cache = new KeepTreeCache;
    return *cache;
}

}  // namespace

bool JsonDoc::parseKeeping(std::string_view text, const std::vector<std::string_view>& paths) {
    const auto filter = keepTreeCache().treeFor(paths);
    return parseFiltered(text, false, filter.get());
}

bool JsonDoc::parseFiltered(std::string_view text, bool literal, const void* filter) {
    // A fresh document: copies made before keep the old one.
    impl_ = std::make_shared<Impl>();
    Impl& d = *impl_;
    switch (parseJson(text, d.root, static_cast<const KeepNode*>(filter))) {
        case Parsed::Value: break;
        case Parsed::Invalid: d.root = nullptr; break;
        case Parsed::Nothing:
            d.root = nullptr;
            d.undefined = !literal;
            break;
    }
    return !d.undefined && !d.root.is_null();
}

std::string JsonDoc::getText(std::string_view path, bool jsonForm) const {
    if (!impl_) return {};
    const Found f = impl_->lookup(path);
    if (!f.value) return {};
    if (jsonForm) {
        std::string out;
        writeJson(out, *f.value);
        return out;
    }
    return leafText(*f.value);
}

JsonDoc JsonDoc::subDocument(std::string_view path) const {
    JsonDoc doc;
    const Found f = impl_ ? impl_->lookup(path) : Found{};
    if (f.value) {
        doc.impl_->root = *f.value;
    } else {
        doc.impl_->root = nullptr;
        doc.impl_->undefined = true;
    }
    return doc;
}

std::string JsonDoc::toText() const {
    if (!impl_ || impl_->undefined) return {};
    std::string out;
    writeJson(out, impl_->root);
    return out;
}

void JsonDoc::reset() {
    if (!impl_) impl_ = std::make_shared<Impl>();
    impl_->root = Json::object();
    impl_->undefined = false;
}

bool JsonDoc::set(std::string_view path, std::string_view value, bool json) {
    if (!impl_) return false;
    Impl& d = *impl_;
    const PathP p = d.resolve(path);
    if (!json) return d.assign(p, Json(mark(value))) != nullptr;
    Json v;
    if (parseJson(value.empty() ? std::string_view("{}") : value, v) != Parsed::Value) return false;
    const Found f = d.walk(p);
    if (f.value && f.value->is_object()) {
        extend(*f.value, v);
        return true;
    }
    return d.assign(p, std::move(v)) != nullptr;
}

bool JsonDoc::setByExpression(std::string_view path, std::string_view expression) {
    if (!impl_) return false;
    Json v;
    if (parseJson(expression, v) != Parsed::Value) return false;
    return impl_->assign(impl_->resolve(path), std::move(v)) != nullptr;
}

bool JsonDoc::exists(std::string_view path) const { return impl_ && impl_->lookup(path).present(); }

int JsonDoc::typeOf(std::string_view path) const {
    if (!impl_) return -1;
    const Found f = impl_->lookup(path);
    if (f.failed) return -1;
    if (!f.value || f.value->is_null()) return 0;
    switch (f.value->type()) {
        case Json::value_t::boolean: return 1;
        case Json::value_t::number_float:
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned: return 2;
        case Json::value_t::object: return 4;
        case Json::value_t::array: return 5;
        case Json::value_t::string: return 6;
        default: return -1;
    }
}

int JsonDoc::memberNames(std::string_view path, std::vector<std::string>& out) const {
    out.clear();
    if (!impl_) return 0;
    const Found f = impl_->lookup(path);
    if (!f.value || !f.value->is_object()) return 0;
    for (const auto& m : f.value->get_ref<const Json::object_t&>()) out.push_back(m.first);
    return static_cast<int>(out.size());
}

int JsonDoc::count(std::string_view path) const {
    if (!impl_) return 0;
    const Found f = impl_->lookup(path);
    if (!f.value || !f.value->is_array()) return 0;
    return static_cast<int>(f.value->get_ref<const Json::array_t&>().size());
}

bool JsonDoc::add(std::string_view value, std::string_view path, bool json, bool atFront) {
    if (!impl_) return false;
    Impl& d = *impl_;
    Json v;
    const bool nothing = json && trimJsSpace(value).empty();  // push() with no argument
    if (!nothing && !valueArgument(value, json, v)) return false;
    const PathP p = d.resolve(path);
    Json* target = d.walk(p).value;
    if (!target || !target->is_array()) target = d.assign(p, Json::array());
    if (!target) return false;
    if (nothing) return true;
    auto& elements = target->get_ref<Json::array_t&>();
    if (atFront)
        elements.insert(elements.begin(), std::move(v));
    else
        elements.push_back(std::move(v));
    return true;
}

namespace {

Json* elementOf(Json* node, int index) {
    if (!node) return nullptr;
    if (node->is_array()) {
        auto& elements = node->get_ref<Json::array_t&>();
        return index >= 0 && static_cast<size_t>(index) < elements.size() ? &elements[static_cast<size_t>(index)]
                                                                          : nullptr;
    }
    if (node->is_object()) {
        char buf[24];
        const auto res = std::to_chars(buf, buf + sizeof buf, index);
        return findMember(*node, std::string_view(buf, static_cast<size_t>(res.ptr - buf)));
    }
    return nullptr;
}

}  // namespace

JsonDoc JsonDoc::elementDocument(int index, std::string_view path) const {
    JsonDoc doc;
    const Json* e = impl_ ? elementOf(impl_->lookup(path).value, index) : nullptr;
    if (e) {
        doc.impl_->root = *e;
    } else {
        doc.impl_->root = nullptr;
        doc.impl_->undefined = true;
    }
    return doc;
}

std::string JsonDoc::elementText(int index, std::string_view path, bool jsonForm) const {
    if (!impl_) return {};
    const Json* e = elementOf(impl_->lookup(path).value, index);
    if (!e) return {};
    if (jsonForm) {
        std::string out;
        writeJson(out, *e);
        return out;
    }
    // Only a text element has a value here.
    return e->is_string() ? unmark(e->get_ref<const std::string&>()) : std::string();
}

bool JsonDoc::setElement(int index, std::string_view path, std::string_view value, bool json) {
    if (!impl_) return false;
    Json v;
    if (!valueArgument(value, json, v)) return false;
    Json* node = impl_->lookup(path).value;
    if (!node) return false;
    if (node->is_array()) {
        if (index < 0) return false;
        return Impl::setElement(*node, static_cast<size_t>(index), std::move(v)) != nullptr;
    }
    if (node->is_object()) {
        char buf[24];
        const auto res = std::to_chars(buf, buf + sizeof buf, index);
        const std::string_view name(buf, static_cast<size_t>(res.ptr - buf));
        if (Json* existing = findMember(*node, name))
            *existing = std::move(v);
        else
            node->get_ref<Json::object_t&>().emplace_back(std::string(name), std::move(v));
        return true;
    }
    return false;
}

bool JsonDoc::removeElement(int index, std::string_view path) {
    if (!impl_) return false;
    Json* node = impl_->lookup(path).value;
    if (!node || !node->is_array()) return false;
    auto& elements = node->get_ref<Json::array_t&>();
    // splice: a negative start counts from the end.
    const long size = static_cast<long>(elements.size());
    long start = index < 0 ? std::max(0L, size + index) : index;
    if (start < size) elements.erase(elements.begin() + start);
    return true;
}

bool JsonDoc::remove(std::string_view path) {
    if (!impl_) return false;
    Impl& d = *impl_;
    const Impl::Place pl = d.place(d.resolve(path));
    if (!pl.ok || pl.isRoot) return false;  // the document variable itself cannot be deleted
    Json& parent = *pl.parent;
    if (parent.is_object()) {
        char buf[24];
        const std::string_view name = pl.last.isIndex ? indexName(pl.last.index, buf) : pl.last.key;
        auto& members = parent.get_ref<Json::object_t&>();
        for (auto it = members.begin(); it != members.end(); ++it) {
            if (it->first == name) {
                members.erase(it);
                break;
            }
        }
        return true;
    }
    if (parent.is_array()) {
        size_t index = pl.last.index;
        if (!pl.last.isIndex && !arrayIndexName(pl.last.key, index)) return true;
        auto& elements = parent.get_ref<Json::array_t&>();
        if (index < elements.size()) elements[index] = nullptr;  // leaves a hole
        return true;
    }
    return true;
}

bool JsonDoc::setNumber(std::string_view path, double value) {
    if (!impl_) return false;
    return impl_->assign(impl_->resolve(path), Json(value)) != nullptr;
}

double JsonDoc::getNumber(std::string_view path) const {
    if (!impl_) return 0;
    const Found f = impl_->lookup(path);
    if (!f.value) return 0;
    const Json& v = *f.value;
    if (v.is_number()) return numberOf(v);
    if (v.is_boolean()) return v.get<bool>() ? 1 : 0;
    if (v.is_string()) {
        const double d = jsNumberFromText(v.get_ref<const std::string&>());
        return std::isnan(d) ? 0 : d;
    }
    return 0;
}

std::string JsonDoc::jsonAt(std::string_view path) const { return getText(path, true); }

namespace {

// The values travel joined by this marker and are split at it again, so a value that holds
// the marker comes back as two.
constexpr std::string_view kLeafSeparator = "[2020年7月20日20时0分0秒]";

void collectLeaves(const Json& node, bool recursive, std::vector<std::string>& out, size_t depth) {
    auto take = [&](const Json& v) {
        if (v.is_structured()) {
            if (recursive && depth < kMaxDepth) collectLeaves(v, true, out, depth + 1);
        } else if (!v.is_null()) {
            // As the engine's toString gives it: a stored backslash stays its marker here.
            std::string text;
            appendScriptText(text, v);
            size_t from = 0;
            for (size_t at = text.find(kLeafSeparator); at != std::string::npos; at = text.find(kLeafSeparator, from)) {
                out.push_back(text.substr(from, at - from));
                from = at + kLeafSeparator.size();
            }
            out.push_back(text.substr(from));
        }
    };
    if (node.is_object()) {
        for (const auto& m : node.get_ref<const Json::object_t&>()) take(m.second);
    } else if (node.is_array()) {
        for (const Json& e : node.get_ref<const Json::array_t&>()) take(e);
    }
}

}  // namespace

int JsonDoc::leafValues(std::vector<std::string>& out, std::string_view path, bool recursive) const {
    out.clear();
    if (!impl_) return 0;
    const Found f = impl_->lookup(path);
    if (f.value) collectLeaves(*f.value, recursive, out, 0);
    return static_cast<int>(out.size());
}

std::string jsNumberText(double value) {
    if (std::isnan(value)) return "NaN";
    if (value == 0) return "0";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    std::string out;
    if (value < 0) {
        out += '-';
        value = -value;
    }
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
    const std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
    const size_t e = sci.find('e');
    std::string digits;
    for (const char c : sci.substr(0, e))
        if (c != '.') digits += c;
    int exponent = 0;
    std::from_chars(sci.data() + e + (sci[e + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
    const int k = static_cast<int>(digits.size());
    const int n = exponent + 1;  // the value is 0.digits * 10^n
    if (k <= n && n <= 21) {
        out += digits;
        out.append(static_cast<size_t>(n - k), '0');
    } else if (0 < n && n <= 21) {
        out.append(digits, 0, static_cast<size_t>(n));
        out += '.';
        out.append(digits, static_cast<size_t>(n));
    } else if (-6 < n && n <= 0) {
        out += "0.";
        out.append(static_cast<size_t>(-n), '0');
        out += digits;
    } else {
        out += digits[0];
        if (k > 1) {
            out += '.';
            out.append(digits, 1);
        }
        out += 'e';
        out += n - 1 >= 0 ? '+' : '-';
        out += std::to_string(std::abs(n - 1));
    }
    return out;
}

}  // namespace vigilo
