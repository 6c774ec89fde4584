#pragma once
// libcurl is opened on first use instead of being linked. Its dependency chain (two TLS
// stacks, Kerberos, LDAP, SSH, RTMP: some 26 libraries) is loaded and relocated before main()
// when linked, a quarter of the window's start-up, while nothing needs the network until the
// first exchange, which always runs on a worker thread. The header is still the one the
// program is built against, so types and constants are checked as usual.
#include <curl/curl.h>

#include <string>

namespace vigilo::net {

struct CurlApi {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_perform) easy_perform;
    decltype(&::curl_easy_reset) easy_reset;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_share_init) share_init;
    decltype(&::curl_share_setopt) share_setopt;
    decltype(&::curl_share_cleanup) share_cleanup;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
    decltype(&::curl_url) url;
    decltype(&::curl_url_set) url_set;
    decltype(&::curl_url_get) url_get;
    decltype(&::curl_url_cleanup) url_cleanup;
    decltype(&::curl_free) free;
};

// The library's entry points, loaded once (thread-safe); null when the library or one of the
// entry points is missing, with the reason in curlLoadError().
const CurlApi* curlApi();
std::string curlLoadError();

}  // namespace vigilo::net
