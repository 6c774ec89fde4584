#pragma once
// Environment variables set for one scope and put back as they were after, set or unset.
#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace vigilo::testing {

class ScopedEnv {
public:
    // value nullopt: unset for the scope.
    ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        set(value);
    }
    ScopedEnv(std::string name, const char* value)
        : ScopedEnv(std::move(name), value ? std::optional<std::string>(value) : std::nullopt) {}
    ~ScopedEnv() { set(old_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

    // Another value within the same scope; the one before the scope still comes back after.
    void set(const std::optional<std::string>& value) {
        if (value)
            ::setenv(name_.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
        // The C library keeps its own copy of the zone; a change of TZ must reach it.
        ::tzset();
    }

    // nullptr: unset.
    void set(const char* value) { set(value ? std::optional<std::string>(value) : std::nullopt); }

private:
    std::string name_;
    std::optional<std::string> old_;
};

}  // namespace vigilo::testing
