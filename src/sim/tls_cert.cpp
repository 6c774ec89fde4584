#include "sim/tls_cert.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <cstdio>
#include <memory>

namespace vigilo::sim {

namespace {

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using Ext = std::unique_ptr<X509_EXTENSION, decltype(&X509_EXTENSION_free)>;

}  // namespace

bool writeSelfSignedCertificate(const std::string& certPath, const std::string& keyPath, int days) {
    Key key(EVP_EC_gen("P-256"), &EVP_PKEY_free);
    Cert cert(X509_new(), &X509_free);
    if (!key || !cert) return false;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(days) * 86400);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
    Ext san(X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost"),
            &X509_EXTENSION_free);
    if (!san || !X509_add_ext(cert.get(), san.get(), -1)) return false;
    if (!X509_sign(cert.get(), key.get(), EVP_sha256())) return false;

    File keyFile(std::fopen(keyPath.c_str(), "wb"));
    if (!keyFile || !PEM_write_PrivateKey(keyFile.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        return false;
    File certFile(std::fopen(certPath.c_str(), "wb"));
    if (!certFile || !PEM_write_X509(certFile.get(), cert.get())) return false;
    return true;
}

}  // namespace vigilo::sim
