#pragma once
// A parsed JSON document read by path expressions relative to its root
// ("['user_info'].nickname", "data.room['stream_url']['hls_pull_url']").
// Every read of a missing path, a null, or a failed evaluation yields the empty result of its
// type; nothing throws.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vigilo {

class JsonDoc {
public:
    JsonDoc();  // root starts as an empty object
    ~JsonDoc();
    JsonDoc(const JsonDoc&);  // copies share the document, as the engine reference did
    JsonDoc& operator=(const JsonDoc&);
    JsonDoc(JsonDoc&&) noexcept;
    JsonDoc& operator=(JsonDoc&&) noexcept;

    // Invalid text leaves the root null (toText "null"); empty text leaves it undefined
    // (toText ""). Returns whether the root is neither null nor undefined.
    bool parse(std::string_view text, bool literal = false);
    // As parse, but only what the paths reach is built: the members and elements on the way to
    // each path and everything below its end. An answer's unread parts then cost no memory;
    // an array keeps only the elements named, so its count is theirs.
    bool parseKeeping(std::string_view text, const std::vector<std::string_view>& paths);
    std::string getText(std::string_view path, bool jsonForm = false) const;
    JsonDoc subDocument(std::string_view path) const;
    std::string toText() const;

    void reset();
    bool set(std::string_view path, std::string_view value, bool json = false);
    bool setByExpression(std::string_view path, std::string_view expression);
    bool exists(std::string_view path) const;
    int typeOf(std::string_view path) const;  // 0 null, 1 bool, 2 number, 4 object, 5 array, 6 text, -1 other
    int memberNames(std::string_view path, std::vector<std::string>& out) const;
    int count(std::string_view path) const;
    bool add(std::string_view value, std::string_view path, bool json = false, bool atFront = false);
    JsonDoc elementDocument(int index, std::string_view path) const;
    std::string elementText(int index, std::string_view path, bool jsonForm = false) const;
    bool setElement(int index, std::string_view path, std::string_view value, bool json = false);
    bool removeElement(int index, std::string_view path);
    bool remove(std::string_view path);
    bool setNumber(std::string_view path, double value);
    double getNumber(std::string_view path) const;
    std::string jsonAt(std::string_view path) const;
    int leafValues(std::vector<std::string>& out, std::string_view path, bool recursive) const;

    struct Impl;

private:
    bool parseFiltered(std::string_view text, bool literal, const void* filter);

    std::shared_ptr<Impl> impl_;
};

// A double as JavaScript prints it: shortest round-trip digits, integers without a point,
// exponent form from 1e21 and below 1e-6.
std::string jsNumberText(double value);

}  // namespace vigilo
