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
        bool ok = true;
        auto need = [&](const char* name, auto& slot) { ok = bind(library, name, slot, s->error) && ok; };
        need("curl_global_init", a.global_init);
        need("curl_easy_init", a.easy_init);
        need("curl_easy_setopt", a.easy_setopt);
        need("curl_easy_getinfo", a.easy_getinfo);
        need("curl_easy_perform", a.easy_perform);
        need("curl_easy_reset", a.easy_reset);
        need("curl_easy_cleanup", a.easy_cleanup);
        need("curl_easy_strerror", a.easy_strerror);
        need("curl_share_init", a.share_init);
        need("curl_share_setopt", a.share_setopt);
        need("curl_share_cleanup", a.share_cleanup);
        need("curl_slist_append", a.slist_append);
        need("curl_slist_free_all", a.slist_free_all);
        need("curl_url", a.url);
        need("curl_url_set", a.url_set);
        need("curl_url_get", a.url_get);
        need("curl_url_cleanup", a.url_cleanup);
        need("curl_free", a.free);
        s->ok = ok;
        return s;
    }();
    return *state;
}

}  // namespace

const CurlApi* curlApi() {
    const Loaded& l = loaded();
    return l.ok ? &l.api : nullptr;
}

std::string curlLoadError() { return loaded().error; }

}  // namespace vigilo::net
