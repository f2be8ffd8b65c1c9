#include "net/rs256_signer.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <mutex>

#include "net/openssl_api.h"
#include "platform/dira_error.h"
#include "platform/dynamic_library.h"

namespace kdv {
namespace {

// The crypto half of the library the mail connections load; the second
// load shares the process's copy.
struct TCryptoApi {
    decltype(&BIO_new_mem_buf) bio_new_mem_buf;
    decltype(&BIO_free) bio_free;
    decltype(&PEM_read_bio_PrivateKey) read_private_key;
    decltype(&PEM_read_bio_X509) read_x509;
    decltype(&X509_free) x509_free;
    decltype(&X509_digest) x509_digest;
    decltype(&EVP_sha1) sha1;
    decltype(&EVP_sha256) sha256;
    decltype(&EVP_MD_CTX_new) md_ctx_new;
    decltype(&EVP_MD_CTX_free) md_ctx_free;
    decltype(&EVP_DigestSignInit) digest_sign_init;
    decltype(&EVP_DigestSign) digest_sign;
    decltype(&EVP_PKEY_free) pkey_free;
    decltype(&EVP_PKEY_get_base_id) pkey_base_id;
    decltype(&ERR_clear_error) err_clear_error;
};

template <typename F>
void Bind(const TDynamicLibrary& library, F& target, const char* name, std::string& missing) {
    target = reinterpret_cast<F>(library.Symbol(name));
    if (target == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
}

const TCryptoApi& LoadCrypto() {
    static std::once_flag once;
    static TCryptoApi api{};
    static std::string failure;
    static std::unique_ptr<TDynamicLibrary> library;
    std::call_once(once, [] {
        std::string reason;
        library = TDynamicLibrary::Load(kLibCryptoName, reason);
        if (!library) {
            failure = std::string(kLibCryptoName) + " konnte nicht geladen werden (" + reason + ")";
            return;
        }
        std::string missing;
        Bind(*library, api.bio_new_mem_buf, "BIO_new_mem_buf", missing);
        Bind(*library, api.bio_free, "BIO_free", missing);
        Bind(*library, api.read_private_key, "PEM_read_bio_PrivateKey", missing);
        Bind(*library, api.read_x509, "PEM_read_bio_X509", missing);
        Bind(*library, api.x509_free, "X509_free", missing);
        Bind(*library, api.x509_digest, "X509_digest", missing);
        Bind(*library, api.sha1, "EVP_sha1", missing);
        Bind(*library, api.sha256, "EVP_sha256", missing);
        Bind(*library, api.md_ctx_new, "EVP_MD_CTX_new", missing);
        Bind(*library, api.md_ctx_free, "EVP_MD_CTX_free", missing);
        Bind(*library, api.digest_sign_init, "EVP_DigestSignInit", missing);
        Bind(*library, api.digest_sign, "EVP_DigestSign", missing);
        Bind(*library, api.pkey_free, "EVP_PKEY_free", missing);
        Bind(*library, api.pkey_base_id, "EVP_PKEY_get_base_id", missing);
        Bind(*library, api.err_clear_error, "ERR_clear_error", missing);
        if (!missing.empty()) failure = std::string(kLibCryptoName) + " ist unvollständig (fehlt: " + missing + ")";
    });
    if (!failure.empty()) throw EDiraError(TErrorKind::ekTls, failure);
    return api;
}

std::string CertificateDigest(const std::string& pem_certificate, bool sha256) {
    const TCryptoApi& api = LoadCrypto();
    BIO* bio = api.bio_new_mem_buf(pem_certificate.data(), static_cast<int>(pem_certificate.size()));
    X509* certificate = bio != nullptr ? api.read_x509(bio, nullptr, nullptr, nullptr) : nullptr;
    if (bio != nullptr) api.bio_free(bio);
    if (certificate == nullptr) {
        api.err_clear_error();
        throw EDiraError(TErrorKind::ekUsage, "Das Zertifikat ist kein lesbares PEM-Zertifikat.");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const int ok = api.x509_digest(certificate, sha256 ? api.sha256() : api.sha1(), digest, &length);
    api.x509_free(certificate);
    if (ok != 1) throw EDiraError(TErrorKind::ekUsage, "Der Fingerabdruck des Zertifikats lässt sich nicht bilden.");
    return std::string(reinterpret_cast<const char*>(digest), length);
}

}  // namespace

std::string SignRs256(const std::string& pem_key, std::string_view data) {
    const TCryptoApi& api = LoadCrypto();
    BIO* bio = api.bio_new_mem_buf(pem_key.data(), static_cast<int>(pem_key.size()));
    // No pass phrase callback: an encrypted key must not wait for a console.
    static pem_password_cb* const kNoPrompt = [](char*, int, int, void*) { return 0; };
    EVP_PKEY* key = bio != nullptr ? api.read_private_key(bio, nullptr, kNoPrompt, nullptr) : nullptr;
    if (bio != nullptr) api.bio_free(bio);
    if (key == nullptr) {
        api.err_clear_error();
        throw EDiraError(TErrorKind::ekUsage, "Der Schlüssel ist kein lesbarer, unverschlüsselter PEM-Schlüssel.");
    }
    std::string signature;
    EVP_MD_CTX* context = api.md_ctx_new();
    const bool rsa = api.pkey_base_id(key) == EVP_PKEY_RSA;
    std::size_t length = 0;
    bool ok = rsa && context != nullptr && api.digest_sign_init(context, nullptr, api.sha256(), nullptr, key) == 1 &&
              api.digest_sign(context, nullptr, &length,
                              reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    if (ok) {
        signature.resize(length);
        ok = api.digest_sign(context, reinterpret_cast<unsigned char*>(signature.data()), &length,
                             reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
        signature.resize(length);
    }
    if (context != nullptr) api.md_ctx_free(context);
    api.pkey_free(key);
    if (!ok) {
        api.err_clear_error();
        throw EDiraError(TErrorKind::ekUsage, rsa ? "Die Signatur mit dem Schlüssel ist fehlgeschlagen."
                                                 : "Der Schlüssel ist kein RSA-Schlüssel (RS256 verlangt RSA).");
    }
    return signature;
}

std::string CertificateSha1(const std::string& pem_certificate) { return CertificateDigest(pem_certificate, false); }

std::string CertificateSha256(const std::string& pem_certificate) { return CertificateDigest(pem_certificate, true); }

}  // namespace kdv
