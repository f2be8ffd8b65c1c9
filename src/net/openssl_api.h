#pragma once
// The TLS library, loaded at run time. Only the types and constants of its
// headers are compiled in; every call goes through the entry points of the
// library that was loaded, so the service starts (and says why TLS fails) on
// a machine without it.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

#include "platform/library_file_names.h"

namespace kdv {

struct TOpenSslApi {
    decltype(&OPENSSL_init_ssl) init_ssl;
    decltype(&TLS_client_method) client_method;
    decltype(&SSL_CTX_new) ctx_new;
    decltype(&SSL_CTX_free) ctx_free;
    decltype(&SSL_CTX_up_ref) ctx_up_ref;
    decltype(&SSL_CTX_ctrl) ctx_ctrl;
    decltype(&SSL_CTX_set_options) ctx_set_options;
    decltype(&SSL_CTX_clear_options) ctx_clear_options;
    decltype(&SSL_CTX_set_security_level) ctx_set_security_level;
    decltype(&SSL_CTX_set_default_verify_paths) ctx_set_default_verify_paths;
    decltype(&SSL_CTX_load_verify_locations) ctx_load_verify_locations;
    decltype(&SSL_CTX_set_verify) ctx_set_verify;
    decltype(&SSL_CTX_set_verify_depth) ctx_set_verify_depth;
    decltype(&SSL_CTX_set_cipher_list) ctx_set_cipher_list;
    decltype(&SSL_CTX_set_default_passwd_cb) ctx_set_default_passwd_cb;
    decltype(&SSL_new) ssl_new;
    decltype(&SSL_free) ssl_free;
    decltype(&SSL_set_fd) set_fd;
    decltype(&SSL_ctrl) ssl_ctrl;
    decltype(&SSL_set1_host) set1_host;
    decltype(&SSL_get0_param) get0_param;
    decltype(&SSL_connect) connect;
    decltype(&SSL_read) read;
    decltype(&SSL_write) write;
    decltype(&SSL_shutdown) shutdown;
    decltype(&SSL_get_error) get_error;
    decltype(&SSL_get_verify_result) get_verify_result;
    decltype(&SSL_get_version) get_version;
    decltype(&ERR_get_error) err_get_error;
    decltype(&ERR_error_string_n) err_error_string_n;
    decltype(&ERR_clear_error) err_clear_error;
    decltype(&OpenSSL_version_num) version_num;
    decltype(&OpenSSL_version) version_text;
    decltype(&X509_verify_cert_error_string) verify_error_text;
    decltype(&X509_VERIFY_PARAM_set1_ip_asc) param_set1_ip_asc;
    decltype(&SSL_CTX_get_cert_store) ctx_get_cert_store;
    decltype(&X509_STORE_add_cert) store_add_cert;
    decltype(&d2i_X509) d2i_x509;
    decltype(&X509_free) x509_free;

    // The library's queued errors as text, one per line, oldest first; the
    // queue is emptied.
    std::string ErrorQueueText() const;
};

// The library names tried, in this order.
inline constexpr const char* kLibCryptoName = kLibCryptoFileName;
inline constexpr const char* kLibSslName = kLibSslFileName;

// The TLS library, loaded on first use and kept for the life of the process.
// Thread-safe. Raises "SSL.-Bibliothek konnte nicht geladen werden." (kind
// ekTls), followed by CR LF and the recorded reasons, when it cannot be
// loaded, lacks entry points or is not a supported version.
const TOpenSslApi& LoadOpenSsl();

// For checks: loads the two libraries by these names, apart from the
// process's own copy, and returns why they are not usable ("" when they are).
std::string OpenSslLoadFailure(const std::string& crypto_name, const std::string& ssl_name);

}  // namespace kdv
