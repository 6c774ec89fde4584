#include "sim/json_out.h"

#include <algorithm>
#include <charconv>
#include <numeric>

namespace vigilo::sim {

namespace {

void appendString(std::string& out, const std::string& s) {
    static const char* hex = "0123456789abcdef";
    out.push_back('"');
    for (unsigned char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(hex[c >> 4]);
                    out.push_back(hex[c & 15]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
    }
    out.push_back('"');
}

void dump(std::string& out, const Json& v, std::mt19937* rng) {
    switch (v.type()) {
        case Json::value_t::object: {
            std::vector<Json::const_iterator> members;
            for (auto it = v.begin(); it != v.end(); ++it) members.push_back(it);
            if (rng) std::shuffle(members.begin(), members.end(), *rng);
            out.push_back('{');
            bool first = true;
            for (auto& it : members) {
                if (!first) out.push_back(',');
                first = false;
                appendString(out, it.key());
                out.push_back(':');
                dump(out, it.value(), rng);
            }
            out.push_back('}');
            break;
        }
        case Json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& item : v) {
                if (!first) out.push_back(',');
                first = false;
                dump(out, item, rng);
            }
            out.push_back(']');
            break;
        }
        case Json::value_t::string: appendString(out, v.get_ref<const std::string&>()); break;
        default: out += v.dump(); break;
    }
}

bool wholeNumber(const std::string& s) {
    if (s.empty() || s.size() > 19) return false;
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

std::string dumpJson(const Json& value, std::mt19937* rng) {
    std::string out;
    dump(out, value, rng);
    return out;
}

void swapTypes(Json& value) {
    if (value.is_object() || value.is_array()) {
        for (auto& item : value) swapTypes(item);
    } else if (value.is_number_integer() || value.is_number_unsigned()) {
        value = value.dump();
    } else if (value.is_string()) {
        const auto& s = value.get_ref<const std::string&>();
        if (wholeNumber(s)) value = idNumber(s);
    }
}

Json idNumber(const std::string& text) {
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return 0;
    if (n <= static_cast<std::uint64_t>(INT64_MAX)) return static_cast<std::int64_t>(n);
    return n;
}

}  // namespace vigilo::sim
