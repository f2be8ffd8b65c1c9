#include "net/mail_ssl_io_handler.h"

#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "net/openssl_api.h"
#include "platform/path_text.h"
#include "platform/system_root_certificates.h"

namespace kdv {
namespace {

constexpr const char* kConnectFailed = "Fehler beim Verbinden mit SSL.";
constexpr const char* kUnexpectedEof = "EOF festgestellt, das gegen das Protokoll verstößt";
constexpr TMailSSLVersion kAllVersions[] = {TMailSSLVersion::sslvSSLv2, TMailSSLVersion::sslvSSLv3,
                                            TMailSSLVersion::sslvTLSv1, TMailSSLVersion::sslvTLSv1_1,
                                            TMailSSLVersion::sslvTLSv1_2};

// The wire versions in ascending order, with the option that excludes each.
struct TWireVersion {
    TMailSSLVersion version;
    int wire;
    std::uint64_t exclude;
};
constexpr TWireVersion kWireVersions[] = {
    {TMailSSLVersion::sslvSSLv3, SSL3_VERSION, SSL_OP_NO_SSLv3},
    {TMailSSLVersion::sslvTLSv1, TLS1_VERSION, SSL_OP_NO_TLSv1},
    {TMailSSLVersion::sslvTLSv1_1, TLS1_1_VERSION, SSL_OP_NO_TLSv1_1},
    {TMailSSLVersion::sslvTLSv1_2, TLS1_2_VERSION, SSL_OP_NO_TLSv1_2},
};

[[noreturn]] void RaiseTls(const std::string& text) {
    throw EDiraError(TErrorKind::ekTls, text);
}

// The system's trusted roots where the library's default paths do not
// reach them. A certificate that does not parse, or that the store already
// has, is passed over: the others still count.
void AddSystemRootCertificates(const TOpenSslApi& api, SSL_CTX* context) {
    X509_STORE* store = api.ctx_get_cert_store(context);
    for (const std::string& der : SystemRootCertificates()) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
        if (X509* cert = api.d2i_x509(nullptr, &bytes, static_cast<long>(der.size()))) {
            api.store_add_cert(store, cert);
            api.x509_free(cert);
        }
    }
    api.err_clear_error();
}

// A new context with the versions, ciphers and certificate check of
// `options`.
SSL_CTX* BuildContext(const TMailSSLOptions& options) {
    const TOpenSslApi& api = LoadOpenSsl();
    api.err_clear_error();
    const SSL_METHOD* method = api.client_method();
    if (method == nullptr) RaiseTls("Fehler beim Abrufen einer SSL-Methode.");
    SSL_CTX* context = api.ctx_new(method);
    if (context == nullptr) RaiseTls("Fehler beim Anlegen eines SSL-Kontexts.");
    try {
        // The lowest version in the set is the floor; the ceiling is the
        // highest, except that TLS 1.3 is allowed wherever 1.2 is, so a
        // server that has dropped 1.2 stays reachable.
        const TMailSSLVersions& versions = options.SSLVersions();
        int lowest = 0;
        int highest = 0;
        for (const auto& wire : kWireVersions) {
            if (versions.count(wire.version) == 0) continue;
            if (lowest == 0) lowest = wire.wire;
            highest = wire.wire;
        }
        if (lowest == 0) RaiseTls("Fehler beim Abrufen einer SSL-Methode.");
        if (highest == TLS1_2_VERSION) highest = TLS1_3_VERSION;
        std::uint64_t exclude = 0;
        for (const auto& wire : kWireVersions) {
            if (wire.wire > lowest && wire.wire < highest && versions.count(wire.version) == 0) {
                exclude |= wire.exclude;
            }
        }
        if (api.ctx_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, lowest, nullptr) != 1 ||
            api.ctx_ctrl(context, SSL_CTRL_SET_MAX_PROTO_VERSION, highest, nullptr) != 1) {
            RaiseTls("Fehler beim Anlegen eines SSL-Kontexts.\r\n" + api.ErrorQueueText());
        }
        if (lowest < TLS1_2_VERSION) {
            // Versions below 1.2 sign their handshake with SHA-1, which the
            // library's default security level refuses; a set that allows
            // them must really connect, so this context alone drops the level.
            api.ctx_set_security_level(context, 0);
        }
        // A server that closes without a TLS farewell has still closed:
        // reads report the end, and a dialogue that is not complete by then
        // fails on its own terms.
        api.ctx_set_options(context, exclude | SSL_OP_IGNORE_UNEXPECTED_EOF);
        api.ctx_ctrl(context, SSL_CTRL_MODE,
                     SSL_MODE_AUTO_RETRY | SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER,
                     nullptr);
        if (!options.CipherList.empty() && api.ctx_set_cipher_list(context, options.CipherList.c_str()) != 1) {
            RaiseTls("Fehler beim Anlegen eines SSL-Kontexts.\r\n" + api.ErrorQueueText());
        }
        if (options.VerifyMode.count(TMailSSLVerifyModeFlag::sslvrfPeer) != 0) {
            // Parsing the system's store takes longer than a whole session;
            // without a check nobody asks it.
            api.ctx_set_default_verify_paths(context);
            if (options.RootCertFile.empty() && options.VerifyDirs.empty()) {
                AddSystemRootCertificates(api, context);
            } else {
                const char* file = options.RootCertFile.empty() ? nullptr : options.RootCertFile.c_str();
                const char* dirs = options.VerifyDirs.empty() ? nullptr : options.VerifyDirs.c_str();
                if (api.ctx_load_verify_locations(context, file, dirs) != 1) {
                    RaiseTls("Stammzertifikate konnten nicht geladen werden: " + options.RootCertFile + "\r\n" +
                             api.ErrorQueueText());
                }
            }
            api.ctx_set_verify(context, SSL_VERIFY_PEER, nullptr);
            if (options.VerifyDepth > 0) api.ctx_set_verify_depth(context, options.VerifyDepth);
        }
    } catch (...) {
        api.ctx_free(context);
        throw;
    }
    return context;
}

// The settings a context is built from, as one text.
std::string ContextKey(const TMailSSLOptions& options) {
    std::string key;
    for (const TMailSSLVersion version : options.SSLVersions()) {
        key += static_cast<char>('a' + static_cast<int>(version));
    }
    key += '\0';
    key += options.CipherList;
    if (options.VerifyMode.count(TMailSSLVerifyModeFlag::sslvrfPeer) == 0) return key;
    key += '\0';
    key += options.RootCertFile;
    key += '\0';
    key += options.VerifyDirs;
    key += '\0';
    key += std::to_string(options.VerifyDepth);
    return key;
}

// The content of the root certificate file: a file replaced under the same
// name is read anew. Reading a few kilobytes is cheap beside parsing them.
std::string RootFileStamp(const TMailSSLOptions& options) {
    if (options.RootCertFile.empty() || options.VerifyMode.count(TMailSSLVerifyModeFlag::sslvrfPeer) == 0) {
        return {};
    }
    std::ifstream in(PathFromUtf8(options.RootCertFile), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Building a context costs more than all the rest of a session (the library
// looks up every algorithm, the trust store is parsed from disk), and the
// service opens one session per message: sessions with equal settings share
// one context, built on first use and kept, like the library, for the life of
// the process. The caller owns one reference to the context returned.
SSL_CTX* SharedContext(const TMailSSLOptions& options) {
    struct TShared {
        std::string stamp;
        SSL_CTX* context = nullptr;
    };
    static std::mutex mutex;
    static auto* const contexts = new std::map<std::string, TShared>();
    const TOpenSslApi& api = LoadOpenSsl();
    const std::string key = ContextKey(options);
    const std::string stamp = RootFileStamp(options);
    std::lock_guard lock(mutex);
    TShared& shared = (*contexts)[key];
    if (shared.context == nullptr || shared.stamp != stamp) {
        SSL_CTX* context = BuildContext(options);
        // Sessions still open on the old context hold references of their own.
        if (shared.context != nullptr) api.ctx_free(shared.context);
        shared.context = context;
        shared.stamp = stamp;
    }
    api.ctx_up_ref(shared.context);
    return shared.context;
}

}  // namespace

void TMailSSLOptions::SetMethod(TMailSSLVersion method) {
    method_ = method;
    if (method == TMailSSLVersion::sslvSSLv23) {
        versions_ = TMailSSLVersions(std::begin(kAllVersions), std::end(kAllVersions));
    } else {
        versions_ = {method};
    }
}

void TMailSSLOptions::SetSSLVersions(const TMailSSLVersions& versions) {
    versions_ = versions;
    if (versions_.size() == 1) {
        method_ = *versions_.begin();
        return;
    }
    method_ = TMailSSLVersion::sslvSSLv23;
    versions_.erase(TMailSSLVersion::sslvSSLv23);
    if (versions_.empty()) versions_ = TMailSSLVersions(std::begin(kAllVersions), std::end(kAllVersions));
}

TMailSSLIOHandlerSocketOpenSSL::TMailSSLIOHandlerSocketOpenSSL() = default;

TMailSSLIOHandlerSocketOpenSSL::~TMailSSLIOHandlerSocketOpenSSL() {
    Close();
    if (context_ != nullptr) LoadOpenSsl().ctx_free(context_);
}

void TMailSSLIOHandlerSocketOpenSSL::InitContext() {
    if (context_ != nullptr) return;
    if (SSLOptions.Mode == TMailSSLMode::sslmUnassigned) SSLOptions.Mode = TMailSSLMode::sslmClient;
    context_ = SharedContext(SSLOptions);
}

void TMailSSLIOHandlerSocketOpenSSL::Open() {
    try {
        InitContext();
    } catch (const EDiraError&) {
        // Without TLS in use the library is not needed (yet).
        if (!pass_through_) throw;
    }
    TMailIOHandler::Open();
    if (!pass_through_) {
        try {
            Handshake();
        } catch (...) {
            Close();
            throw;
        }
    }
}

std::string TMailSSLIOHandlerSocketOpenSSL::TlsVersion() const {
    if (ssl_ == nullptr) return "";
    const char* version = LoadOpenSsl().get_version(ssl_);
    return version != nullptr ? version : "";
}

void TMailSSLIOHandlerSocketOpenSSL::Close() {
    ShutdownLink();
    TMailIOHandler::Close();
}

void TMailSSLIOHandlerSocketOpenSSL::SetPassThrough(bool value) {
    if (value == pass_through_) return;
    if (!IsOpen()) {
        pass_through_ = value;
        return;
    }
    if (value) {
        ShutdownLink();
        pass_through_ = true;
        return;
    }
    Handshake();
}

void TMailSSLIOHandlerSocketOpenSSL::Handshake() {
    // A handshake is one exchange: a peer dripping its records must not
    // stretch it past the time limit.
    TDeadlineScope whole(*this, ReadLimit());
    InitContext();
    const TOpenSslApi& api = LoadOpenSsl();
    api.err_clear_error();
    SSL* ssl = api.ssl_new(context_);
    if (ssl == nullptr) RaiseTls("Fehler beim Anlegen einer SSL-Sitzung.");
    try {
        if (api.set_fd(ssl, static_cast<int>(Socket().NativeHandle())) != 1) {
            RaiseTls("Fehler beim Setzen des Dateideskriptors für SSL");
        }
        // Whatever has arrived is taken from the socket in one read instead
        // of a header and a body per record: a mail comes in many records.
        // Records read ahead are handed out before a read reports that it
        // must wait, so no wait on the socket misses them.
        api.ssl_ctrl(ssl, SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
        const bool literal = IsIpAddressLiteral(Host);
        // Server name indication carries host names only; an address in it
        // is forbidden, and some servers refuse such a handshake.
        if (!literal) {
            api.ssl_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                         const_cast<char*>(Host.c_str()));
        }
        if (SSLOptions.VerifyMode.count(TMailSSLVerifyModeFlag::sslvrfPeer) != 0) {
            const int ok = literal ? api.param_set1_ip_asc(api.get0_param(ssl), Host.c_str())
                                   : api.set1_host(ssl, Host.c_str());
            if (ok != 1) RaiseTls(std::string(kConnectFailed) + "\r\n" + api.ErrorQueueText());
        }
        for (;;) {
            api.err_clear_error();
            TSocket::ClearLastError();
            const int rc = api.connect(ssl);
            const int system_error = TSocket::LastError();
            if (rc == 1) break;
            const int error = api.get_error(ssl, rc);
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                if (!WaitFor(error == SSL_ERROR_WANT_WRITE ? TIoStatus::WantWrite : TIoStatus::WantRead,
                             ReadLimit())) {
                    throw EDiraError(TErrorKind::ekTimeout, std::string(kConnectFailed) + "\r\n" + kReadTimedOut);
                }
                continue;
            }
            std::string reason = api.ErrorQueueText();
            if (error == SSL_ERROR_SYSCALL && system_error != 0 && reason.empty()) RaiseSocketError(system_error);
            const long verify = api.get_verify_result(ssl);
            if (verify != X509_V_OK) {
                if (!reason.empty()) reason += "\r\n";
                reason += api.verify_error_text(verify);
            }
            if (reason.empty() || reason.find("unexpected eof") != std::string::npos) reason = kUnexpectedEof;
            RaiseTls(std::string(kConnectFailed) + "\r\n" + reason);
        }
    } catch (...) {
        api.ssl_free(ssl);
        throw;
    }
    ssl_ = ssl;
    pass_through_ = false;
}

void TMailSSLIOHandlerSocketOpenSSL::ShutdownLink() {
    if (ssl_ == nullptr) return;
    const TOpenSslApi& api = LoadOpenSsl();
    // One farewell without waiting for the peer's; failures do not matter
    // to a connection that ends anyway.
    api.shutdown(ssl_);
    api.err_clear_error();
    api.ssl_free(ssl_);
    ssl_ = nullptr;
}

TMailIOHandler::TIoStatus TMailSSLIOHandlerSocketOpenSSL::StepStatus(int rc, int system_error, const char* what) {
    const TOpenSslApi& api = LoadOpenSsl();
    const int error = api.get_error(ssl_, rc);
    switch (error) {
        case SSL_ERROR_WANT_READ: return TIoStatus::WantRead;
        case SSL_ERROR_WANT_WRITE: return TIoStatus::WantWrite;
        case SSL_ERROR_ZERO_RETURN: return TIoStatus::Closed;
        case SSL_ERROR_SYSCALL: {
            std::string reason = api.ErrorQueueText();
            if (reason.empty()) {
                if (system_error != 0) RaiseSocketError(system_error);
                return TIoStatus::Closed;
            }
            RaiseTls(std::string(what) + "\r\n" + reason);
        }
        default: RaiseTls(std::string(what) + "\r\n" + api.ErrorQueueText());
    }
}

TMailIOHandler::TIoStatus TMailSSLIOHandlerSocketOpenSSL::ReceiveStep(char* buffer, std::size_t size,
                                                                      std::size_t& received) {
    received = 0;
    if (ssl_ == nullptr) return TMailIOHandler::ReceiveStep(buffer, size, received);
    const TOpenSslApi& api = LoadOpenSsl();
    api.err_clear_error();
    const int limit = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    TSocket::ClearLastError();
    const int rc = api.read(ssl_, buffer, limit);
    const int system_error = TSocket::LastError();
    if (rc > 0) {
        received = static_cast<std::size_t>(rc);
        return TIoStatus::Done;
    }
    return StepStatus(rc, system_error, "Fehler beim Lesen mit SSL.");
}

TMailIOHandler::TIoStatus TMailSSLIOHandlerSocketOpenSSL::SendStep(const char* data, std::size_t size,
                                                                   std::size_t& sent) {
    sent = 0;
    if (ssl_ == nullptr) return TMailIOHandler::SendStep(data, size, sent);
    const TOpenSslApi& api = LoadOpenSsl();
    api.err_clear_error();
    const int limit = size > 0x40000000 ? 0x40000000 : static_cast<int>(size);
    TSocket::ClearLastError();
    const int rc = api.write(ssl_, data, limit);
    const int system_error = TSocket::LastError();
    if (rc > 0) {
        sent = static_cast<std::size_t>(rc);
        return TIoStatus::Done;
    }
    return StepStatus(rc, system_error, "Fehler beim Schreiben mit SSL.");
}

void ApplyCertificateSettings(TMailSSLOptions& options, const TCertificateCheck& check) {
    if (!check.verify) {
        options.VerifyMode.clear();
        options.RootCertFile.clear();
        return;
    }
    options.VerifyMode = {TMailSSLVerifyModeFlag::sslvrfPeer};
    options.RootCertFile = check.root_cert_file;
}

}  // namespace kdv
