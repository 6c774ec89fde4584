#include "net/curl_api.h"

#include <dlfcn.h>

#include <mutex>

namespace vigilo::net {
namespace {

// The soname of the libcurl the program is built against (libcurl4 on Debian); it has not
// changed since 2006.
constexpr const char* kLibrary = "libcurl.so.4";

struct Loaded {
    CurlApi api{};
    bool ok = false;
    std::string error;
};

template <class F>
bool bind(void* library, const char* name, F& slot, std::string& error) {
    void* symbol = ::dlsym(library, name);
    if (symbol == nullptr) {
        if (error.empty()) error = std::string(kLibrary) + " has no " + name;
        return false;
    }
    slot = reinterpret_cast<F>(symbol);
    return true;
}

const Loaded& loaded() {
    static const Loaded* state = [] {
        auto* s = new Loaded;
        // Local binding: the library's own dependencies never take the place of a symbol the
        // program or Qt already resolved. The handle is never closed; worker threads may run an
        // exchange while the process ends.
        void* library = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* why = ::dlerror();
            s->error = why != nullptr ? why : std::string("cannot open ") + kLibrary;
            return s;
        }
        CurlApi& a = s->api;
        std::string& e = s->error;
        s->ok = bind(library, "curl_global_init", a.global_init, e) &
                bind(library, "curl_easy_init", a.easy_init, e) &
                bind(library, "curl_easy_setopt", a.easy_setopt, e) &
                bind(library, "curl_easy_getinfo", a.easy_getinfo, e) &
                bind(library, "curl_easy_perform", a.easy_perform, e) &
                bind(library, "curl_easy_reset", a.easy_reset, e) &
                bind(library, "curl_easy_cleanup", a.easy_cleanup, e) &
                bind(library, "curl_easy_strerror", a.easy_strerror, e) &
                bind(library, "curl_share_init", a.share_init, e) &
                bind(library, "curl_share_setopt", a.share_setopt, e) &
                bind(library, "curl_share_cleanup", a.share_cleanup, e) &
                bind(library, "curl_slist_append", a.slist_append, e) &
                bind(library, "curl_slist_free_all", a.slist_free_all, e) &
                bind(library, "curl_url", a.url, e) & bind(library, "curl_url_set", a.url_set, e) &
                bind(library, "curl_url_get", a.url_get, e) &
                bind(library, "curl_url_cleanup", a.url_cleanup, e) & bind(library, "curl_free", a.free, e);
        return s;
    }();
    return *state;
}

}  // namespace

const CurlApi* curlApi() {
    const Loaded& l = loaded();
    return l.ok ? &l.api : nullptr;
}

std::string curlLoadError() {
    return loaded().error;
}

}  // namespace vigilo::net
