// Certificates are checked unless the insecure switch is on, for every client and download.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <memory>

#include "net/download.h"
#include "net/http.h"
#include "support/loopback.h"

namespace vigilo {
namespace {

struct KeyDeleter {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertDeleter {
    void operator()(X509* cert) const { X509_free(cert); }
};

// A self-signed certificate for 127.0.0.1, valid now, that no system store trusts.
std::pair<std::unique_ptr<X509, CertDeleter>, std::unique_ptr<EVP_PKEY, KeyDeleter>> selfSigned() {
    std::unique_ptr<EVP_PKEY, KeyDeleter> key(EVP_EC_gen("P-256"));
    std::unique_ptr<X509, CertDeleter> cert(X509_new());
    if (!key || !cert) return {};
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* altName = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, "IP:127.0.0.1");
    if (altName != nullptr) {
        X509_add_ext(cert.get(), altName, -1);
        X509_EXTENSION_free(altName);
    }
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) return {};
    return {std::move(cert), std::move(key)};
}

TEST(Tls, CertificatesCheckedUnlessSwitchedOff) {
    auto [cert, key] = selfSigned();
    ASSERT_TRUE(cert && key);
    testing::LoopbackServer server(std::make_unique<httplib::SSLServer>(cert.get(), key.get()));
    server.setScheme("https");
    server.on("/echo", [](const httplib::Request&, httplib::Response& res) { res.set_content("ok", "text/plain"); });
    server.on("/video",
              [](const httplib::Request&, httplib::Response& res) { res.set_content("FLV video", "video/x-flv"); });
    ASSERT_TRUE(server.start());

    const NetConfig saved = netConfig();
    auto exchangeAll = [&](bool expectOk) {
        HttpRequestOptions options;
        options.url = server.url("/echo");
        const HttpResult scriptable = ScriptableHttpClient::send(options);
        const HttpResult native = NativeHttpClient::send(options);
        const HttpResult internet = InternetHttpClient::send(options);
        const auto folder = std::filesystem::temp_directory_path() / ("vigilo-tls-" + std::to_string(::getpid()));
        std::filesystem::create_directories(folder);
        const DownloadResult update = downloadFile(options.url, (folder / "u").string(), nullptr);
        const FileDownload video = plainDownloadToFile(server.url("/video"), (folder / "v").string());
        std::filesystem::remove_all(folder);
        if (expectOk) {
            EXPECT_EQ(scriptable.body, "ok") << scriptable.error;
            EXPECT_EQ(native.text, "ok") << native.error;
            EXPECT_EQ(internet.body, "ok") << internet.error;
            EXPECT_EQ(update.code, 0) << update.error;
            EXPECT_TRUE(video.ok) << video.error;
        } else {
            EXPECT_FALSE(scriptable.transportOk());
            EXPECT_TRUE(scriptable.body.empty());
            EXPECT_EQ(native.statusText, "711 发送请求失败!");
            EXPECT_FALSE(internet.transportOk());
            EXPECT_TRUE(internet.body.empty());
            EXPECT_EQ(update.message, "地址失效，请进入官网下载最新版本");
            EXPECT_FALSE(video.ok);
        }
    };

    NetConfig config = saved;
    config.insecureTls = false;
    setNetConfig(config);
    exchangeAll(false);

    config.insecureTls = true;
    setNetConfig(config);
    exchangeAll(true);

    // Neither a kept connection nor a TLS session of the unchecked exchanges lets a checked
    // one through.
    config.insecureTls = false;
    setNetConfig(config);
    exchangeAll(false);
    setNetConfig(saved);
}

}  // namespace
}  // namespace vigilo
