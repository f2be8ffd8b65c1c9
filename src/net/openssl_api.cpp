#include "net/openssl_api.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/dira_error.h"
#include "platform/dynamic_library.h"

namespace kdv {
namespace {

constexpr const char* kNotLoaded = "SSL.-Bibliothek konnte nicht geladen werden.";
// The calls made rely on the 3.0 interface (version limits, security level
// per context); older libraries lack parts of it.
constexpr unsigned long kLowestVersion = 0x30000000UL;

template <typename F>
void Bind(const TDynamicLibrary& library, F& target, const char* name, std::string& missing) {
    target = reinterpret_cast<F>(library.Symbol(name));
    if (target == nullptr) missing += std::string(name) + " (nicht gefunden)\r\n";
}

struct TLoaded {
    std::unique_ptr<TDynamicLibrary> crypto;
    std::unique_ptr<TDynamicLibrary> ssl;
    TOpenSslApi api{};
    std::string failure;  // empty when usable
};

TLoaded* LoadLibraries(const std::string& crypto_name, const std::string& ssl_name) {
    auto* loaded = new TLoaded();
    std::string reasons;
    std::string reason;
    loaded->crypto = TDynamicLibrary::Load(crypto_name, reason);
    if (!loaded->crypto) reasons += "Fehler beim Laden von " + crypto_name + " (" + reason + ").\r\n";
    reason.clear();
    loaded->ssl = TDynamicLibrary::Load(ssl_name, reason);
    if (!loaded->ssl) reasons += "Fehler beim Laden von " + ssl_name + " (" + reason + ").\r\n";
    if (loaded->crypto && loaded->ssl) {
        const TDynamicLibrary& s = *loaded->ssl;
        const TDynamicLibrary& c = *loaded->crypto;
        TOpenSslApi& a = loaded->api;
        Bind(s, a.init_ssl, "OPENSSL_init_ssl", reasons);
        Bind(s, a.client_method, "TLS_client_method", reasons);
        Bind(s, a.ctx_new, "SSL_CTX_new", reasons);
        Bind(s, a.ctx_free, "SSL_CTX_free", reasons);
        Bind(s, a.ctx_up_ref, "SSL_CTX_up_ref", reasons);
        Bind(s, a.ctx_ctrl, "SSL_CTX_ctrl", reasons);
        Bind(s, a.ctx_set_options, "SSL_CTX_set_options", reasons);
        Bind(s, a.ctx_clear_options, "SSL_CTX_clear_options", reasons);
        Bind(s, a.ctx_set_security_level, "SSL_CTX_set_security_level", reasons);
        Bind(s, a.ctx_set_default_verify_paths, "SSL_CTX_set_default_verify_paths", reasons);
        Bind(s, a.ctx_load_verify_locations, "SSL_CTX_load_verify_locations", reasons);
        Bind(s, a.ctx_set_verify, "SSL_CTX_set_verify", reasons);
        Bind(s, a.ctx_set_verify_depth, "SSL_CTX_set_verify_depth", reasons);
        Bind(s, a.ctx_set_cipher_list, "SSL_CTX_set_cipher_list", reasons);
        Bind(s, a.ctx_set_default_passwd_cb, "SSL_CTX_set_default_passwd_cb", reasons);
        Bind(s, a.ssl_new, "SSL_new", reasons);
        Bind(s, a.ssl_free, "SSL_free", reasons);
        Bind(s, a.set_fd, "SSL_set_fd", reasons);
        Bind(s, a.ssl_ctrl, "SSL_ctrl", reasons);
        Bind(s, a.set1_host, "SSL_set1_host", reasons);
        Bind(s, a.get0_param, "SSL_get0_param", reasons);
        Bind(s, a.connect, "SSL_connect", reasons);
        Bind(s, a.read, "SSL_read", reasons);
        Bind(s, a.write, "SSL_write", reasons);
        Bind(s, a.shutdown, "SSL_shutdown", reasons);
        Bind(s, a.get_error, "SSL_get_error", reasons);
        Bind(s, a.get_verify_result, "SSL_get_verify_result", reasons);
        Bind(s, a.get_version, "SSL_get_version", reasons);
        Bind(c, a.err_get_error, "ERR_get_error", reasons);
        Bind(c, a.err_error_string_n, "ERR_error_string_n", reasons);
        Bind(c, a.err_clear_error, "ERR_clear_error", reasons);
        Bind(c, a.version_num, "OpenSSL_version_num", reasons);
        Bind(c, a.version_text, "OpenSSL_version", reasons);
        Bind(c, a.verify_error_text, "X509_verify_cert_error_string", reasons);
        Bind(c, a.param_set1_ip_asc, "X509_VERIFY_PARAM_set1_ip_asc", reasons);
        Bind(s, a.ctx_get_cert_store, "SSL_CTX_get_cert_store", reasons);
        Bind(c, a.store_add_cert, "X509_STORE_add_cert", reasons);
        Bind(c, a.d2i_x509, "d2i_X509", reasons);
        Bind(c, a.x509_free, "X509_free", reasons);
    }
    if (reasons.empty()) {
        const TOpenSslApi& a = loaded->api;
        const std::string name = a.version_text(OPENSSL_VERSION);
        if (name.rfind("OpenSSL", 0) != 0 && name.rfind("LibreSSL", 0) != 0) {
            reasons += "Nicht unterstützte SSL-Bibliothek: " + name + ".\r\n";
        } else if (a.version_num() < kLowestVersion) {
            char text[64];
            std::snprintf(text, sizeof text, "Nicht unterstützte SSL-Bibliotheksversion: %.8lx.\r\n", a.version_num());
            reasons += text;
        } else if (a.init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr) != 1) {
            reasons += "OPENSSL_init_ssl\r\n";
        }
    }
    if (!reasons.empty()) {
        reasons.resize(reasons.size() - 2);  // the last line break
        loaded->failure = reasons;
    }
    return loaded;
}

}  // namespace

std::string TOpenSslApi::ErrorQueueText() const {
    std::string text;
    for (unsigned long code = err_get_error(); code != 0; code = err_get_error()) {
        char line[256];
        err_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "\r\n";
        text += line;
    }
    return text;
}

const TOpenSslApi& LoadOpenSsl() {
    // Loaded once and never unloaded: connections in long-lived objects
    // still call into it while the process ends.
    static TLoaded* const loaded = LoadLibraries(kLibCryptoName, kLibSslName);
    if (!loaded->failure.empty()) {
        throw EDiraError(TErrorKind::ekTls, std::string(kNotLoaded) + "\r\n" + loaded->failure);
    }
    return loaded->api;
}

std::string OpenSslLoadFailure(const std::string& crypto_name, const std::string& ssl_name) {
    // Kept loaded, as the process's own copy is: a library that has run its
    // initialisation must not be unloaded again.
    static std::vector<std::unique_ptr<TLoaded>>* checked = new std::vector<std::unique_ptr<TLoaded>>();
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    checked->emplace_back(LoadLibraries(crypto_name, ssl_name));
    return checked->back()->failure;
}

}  // namespace kdv
