#include "support/scripted_peer.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "support/test_socket.h"

namespace kdv::testing {
namespace {

// How long the peer waits for a client line before it gives up on a step.
constexpr auto kStepLimit = std::chrono::seconds(20);
// Granularity of the peer's waits, so a destroyed peer ends soon.
constexpr int kPollMs = 50;

// ---- certificates ------------------------------------------------------

struct TKeyAndCert {
    EVP_PKEY* key = nullptr;
    X509* cert = nullptr;
    std::string pem;
};

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(extension != nullptr, "extension");
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for `names` (subjectAltName form), valid from `from_days`
// to `to_days` relative to now, signed by `issuer` (null: by itself).
TKeyAndCert MakeCertificate(const char* common_name, const char* names, long from_days, long to_days, bool ca,
                            const TKeyAndCert* issuer, long serial) {
    TKeyAndCert out;
    out.key = EVP_RSA_gen(2048);
    Check(out.key != nullptr, "key");
    out.cert = X509_new();
    X509_set_version(out.cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(out.cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(out.cert), from_days * 86400L);
    X509_gmtime_adj(X509_getm_notAfter(out.cert), to_days * 86400L);
    X509_set_pubkey(out.cert, out.key);
    X509_NAME* name = X509_get_subject_name(out.cert);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Diravid Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name), -1,
                               -1, 0);
    X509* issuer_cert = issuer != nullptr ? issuer->cert : out.cert;
    X509_set_issuer_name(out.cert, X509_get_subject_name(issuer_cert));
    AddExtension(out.cert, issuer_cert, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (ca) AddExtension(out.cert, issuer_cert, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    if (names != nullptr) AddExtension(out.cert, issuer_cert, NID_subject_alt_name, names);
    AddExtension(out.cert, issuer_cert, NID_subject_key_identifier, "hash");
    Check(X509_sign(out.cert, issuer != nullptr ? issuer->key : out.key, EVP_sha256()) > 0, "sign");
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(bio, out.cert);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    out.pem.assign(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return out;
}

struct TCertificates {
    TKeyAndCert ca;
    TKeyAndCert self_signed;
    TKeyAndCert ca_signed;
    TKeyAndCert expired;
    TKeyAndCert wrong_host;
};

const TCertificates& Certificates() {
    static const TCertificates* certificates = [] {
        auto* c = new TCertificates();
        constexpr const char* kLocal = "DNS:localhost,IP:127.0.0.1";
        c->ca = MakeCertificate("Diravid Test CA", nullptr, -1, 30, true, nullptr, 1);
        c->self_signed = MakeCertificate("localhost", kLocal, -1, 30, true, nullptr, 2);
        c->ca_signed = MakeCertificate("localhost", kLocal, -1, 30, false, &c->ca, 3);
        c->expired = MakeCertificate("localhost", kLocal, -30, -1, false, &c->ca, 4);
        c->wrong_host = MakeCertificate("other.example", "DNS:other.example", -1, 30, false, &c->ca, 5);
        return c;
    }();
    return *certificates;
}

const TKeyAndCert& CertificateFor(TPeerCertificate which) {
    const TCertificates& c = Certificates();
    switch (which) {
        case TPeerCertificate::SelfSigned: return c.self_signed;
        case TPeerCertificate::CaSigned: return c.ca_signed;
        case TPeerCertificate::Expired: return c.expired;
        case TPeerCertificate::WrongHost: return c.wrong_host;
    }
    return c.self_signed;
}

std::string ErrorQueue() {
    std::string text;
    for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        if (!text.empty()) text += "; ";
        text += line;
    }
    return text;
}

SSL_CTX* MakeServerContext(TPeerCertificate certificate, TPeerTlsVersions versions) {
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    Check(context != nullptr, "context");
    const TKeyAndCert& pair = CertificateFor(certificate);
    SSL_CTX_use_certificate(context, pair.cert);
    SSL_CTX_use_PrivateKey(context, pair.key);
    if (certificate != TPeerCertificate::SelfSigned) SSL_CTX_add1_chain_cert(context, Certificates().ca.cert);
    switch (versions) {
        case TPeerTlsVersions::Tls12AndUp:
            SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
            break;
        case TPeerTlsVersions::Tls13Only:
            SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION);
            break;
        case TPeerTlsVersions::Tls10Only:
            SSL_CTX_set_security_level(context, 0);
            SSL_CTX_set_min_proto_version(context, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(context, TLS1_VERSION);
            SSL_CTX_set_cipher_list(context, "DEFAULT:@SECLEVEL=0");
            break;
    }
    return context;
}

}  // namespace

// ---- steps ----------------------------------------------------------------

TPeerStep Expect(std::string line) { return {TPeerStep::TKind::Expect, std::move(line)}; }
TPeerStep ExpectAny() { return {TPeerStep::TKind::ExpectAny, {}}; }
TPeerStep ExpectData() { return {TPeerStep::TKind::ExpectData, {}}; }
TPeerStep Send(std::string line) { return {TPeerStep::TKind::Send, std::move(line) + "\r\n"}; }
TPeerStep SendLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return {TPeerStep::TKind::Send, std::move(text)};
}
TPeerStep SendRaw(std::string bytes) { return {TPeerStep::TKind::Send, std::move(bytes)}; }
TPeerStep SendLineOfLength(std::size_t length, char fill) {
    return {TPeerStep::TKind::Send, std::string(length, fill) + "\r\n"};
}
TPeerStep SendGarbage(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        // Controls and high bytes, never a line break.
        const unsigned char c = static_cast<unsigned char>((i * 37 + 0x81) & 0xff);
        bytes[i] = static_cast<char>(c == '\n' || c == '\r' ? 0xff : c);
    }
    return {TPeerStep::TKind::Send, std::move(bytes)};
}
TPeerStep CloseNow() { return {TPeerStep::TKind::CloseNow, {}}; }
TPeerStep CloseMidLine(std::string partial) {
    // A send followed by a close: the step list keeps both in one entry.
    TPeerStep step{TPeerStep::TKind::CloseNow, std::move(partial)};
    return step;
}
TPeerStep Stall(std::chrono::milliseconds duration) {
    TPeerStep step{TPeerStep::TKind::Stall, {}};
    step.duration = duration;
    return step;
}
TPeerStep Drip(std::string bytes, std::chrono::milliseconds interval) {
    TPeerStep step{TPeerStep::TKind::Drip, std::move(bytes)};
    step.duration = interval;
    return step;
}
TPeerStep Flood(std::string unit, std::chrono::milliseconds duration) {
    TPeerStep step{TPeerStep::TKind::Flood, std::move(unit)};
    step.duration = duration;
    return step;
}
TPeerStep StartTls(TPeerCertificate certificate, TPeerTlsVersions versions) {
    TPeerStep step{TPeerStep::TKind::StartTls, {}};
    step.certificate = certificate;
    step.versions = versions;
    return step;
}

// ---- the peer ---------------------------------------------------------------

struct TScriptedPeer::TState {
    std::vector<TPeerStep> script;
    TTestSocket listen_fd = kNoTestSocket;
    TTestSocket fd = kNoTestSocket;
    std::uint16_t port = 0;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    std::string input;  // received, not yet taken
    bool client_closed = false;
    std::atomic<bool> stop{false};

    std::mutex mutex;
    std::condition_variable finished_signal;
    bool finished = false;
    std::vector<std::string> transcript;
    std::string failures;
    std::string server_name;
    std::string tls_version;
    std::thread thread;

    void Fail(const std::string& text) {
        std::lock_guard lock(mutex);
        failures += text + "\n";
    }

    bool WaitFd(bool write, std::chrono::steady_clock::time_point deadline) {
        while (!stop) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            TSocketWaitEntry entry{fd, write};
            const int rc = WaitSockets(&entry, 1, kPollMs);
            if (rc > 0) return true;
            if (rc < 0) return false;
        }
        return false;
    }

    // Receives more bytes into `input`; false when the client closed, the
    // peer is stopping or `deadline` passed.
    bool Receive(std::chrono::steady_clock::time_point deadline) {
        char block[16384];
        for (;;) {
            if (stop || client_closed) return false;
            int got;
            if (ssl != nullptr) {
                got = SSL_read(ssl, block, sizeof block);
                if (got <= 0) {
                    const int error = SSL_get_error(ssl, got);
                    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                        if (!WaitFd(error == SSL_ERROR_WANT_WRITE, deadline)) return false;
                        continue;
                    }
                    ERR_clear_error();
                    client_closed = true;
                    return false;
                }
            } else {
                got = static_cast<int>(ReceiveSome(fd, block, sizeof block));
                if (got < 0 && TryAgainLater()) {
                    if (!WaitFd(false, deadline)) return false;
                    continue;
                }
                if (got <= 0) {
                    client_closed = true;
                    return false;
                }
            }
            input.append(block, static_cast<std::size_t>(got));
            return true;
        }
    }

    // The client's next line without its terminator; false when none came.
    bool ReadLine(std::string& line, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            const auto lf = input.find('\n');
            if (lf != std::string::npos) {
                line = input.substr(0, lf);
                input.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                } else {
                    Fail("line not ended by CR LF: " + line);
                }
                std::lock_guard lock(mutex);
                transcript.push_back(line);
                return true;
            }
            if (!Receive(deadline)) return false;
        }
    }

    // False when the client has gone before every byte went out.
    bool SendBytes(const std::string& bytes) {
        std::size_t done = 0;
        const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
        while (done < bytes.size() && !stop) {
            int sent;
            if (ssl != nullptr) {
                sent = SSL_write(ssl, bytes.data() + done, static_cast<int>(bytes.size() - done));
                if (sent <= 0) {
                    const int error = SSL_get_error(ssl, sent);
                    if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                        WaitFd(error == SSL_ERROR_WANT_WRITE, deadline)) {
                        continue;
                    }
                    ERR_clear_error();
                    return false;  // the client has gone; what it missed shows in its own results
                }
            } else {
                sent = static_cast<int>(SendSome(fd, bytes.data() + done, bytes.size() - done));
                if (sent < 0 && TryAgainLater()) {
                    if (!WaitFd(true, deadline)) return false;
                    continue;
                }
                if (sent <= 0) return false;
            }
            done += static_cast<std::size_t>(sent);
        }
        return done == bytes.size();
    }

    // Whether the client has closed its side; reads (and drops) what it sent.
    // The connection's socket never blocks.
    bool ClientGone() {
        if (client_closed) return true;
        char block[4096];
        for (;;) {
            const long got = ReceiveSome(fd, block, sizeof block);
            if (got > 0) continue;
            if (got == 0 || !TryAgainLater()) client_closed = true;
            return client_closed;
        }
    }

    bool Handshake(const TPeerStep& step) {
        if (context != nullptr) SSL_CTX_free(context);
        context = MakeServerContext(step.certificate, step.versions);
        ssl = SSL_new(context);
        SSL_set_fd(ssl, static_cast<int>(fd));
        const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
        for (;;) {
            const int rc = SSL_accept(ssl);
            if (rc == 1) break;
            const int error = SSL_get_error(ssl, rc);
            if ((error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) &&
                WaitFd(error == SSL_ERROR_WANT_WRITE, deadline)) {
                continue;
            }
            Fail("TLS handshake failed: " + ErrorQueue());
            SSL_free(ssl);
            ssl = nullptr;
            return false;
        }
        std::lock_guard lock(mutex);
        const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
        server_name = name != nullptr ? name : "";
        tls_version = SSL_get_version(ssl);
        return true;
    }

    void CloseConnection() {
        if (ssl != nullptr) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd != kNoTestSocket) {
            CloseTestSocket(fd);
            fd = kNoTestSocket;
        }
    }

    // Closes so the client sees an orderly end: a socket closed with unread
    // bytes in it would reset the connection instead, depending on how the
    // client's last bytes and the close cross.
    void CloseInOrder() {
        if (ssl != nullptr) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
            ssl = nullptr;
        }
        if (fd == kNoTestSocket) return;
        ShutdownSending(fd);
        char sink[4096];
        for (;;) {
            TSocketWaitEntry entry{fd};
            if (WaitSockets(&entry, 1, 100) <= 0) break;
            const long got = ReceiveSome(fd, sink, sizeof sink);
            if (got == 0 || (got < 0 && !TryAgainLater())) break;
        }
        CloseTestSocket(fd);
        fd = kNoTestSocket;
    }

    bool Accept() {
        while (!stop) {
            TSocketWaitEntry entry{listen_fd};
            if (WaitSockets(&entry, 1, kPollMs) > 0) {
                fd = AcceptConnection(listen_fd, true);
                if (fd != kNoTestSocket) return true;
            }
        }
        return false;
    }

    // Runs one step; false ends the script.
    bool Run(const TPeerStep& step) {
        const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
        std::string line;
        switch (step.kind) {
            case TPeerStep::TKind::Expect:
                if (!ReadLine(line, deadline)) {
                    Fail("expected \"" + step.text + "\", but the client sent nothing more");
                    return false;
                }
                if (line != step.text) Fail("expected \"" + step.text + "\", got \"" + line + "\"");
                return true;
            case TPeerStep::TKind::ExpectAny:
                if (!ReadLine(line, deadline)) {
                    Fail("expected a line, but the client sent nothing more");
                    return false;
                }
                return true;
            case TPeerStep::TKind::ExpectData:
                for (;;) {
                    if (!ReadLine(line, deadline)) {
                        Fail("data ended without the \".\" line");
                        return false;
                    }
                    if (line == ".") return true;
                }
            case TPeerStep::TKind::Send:
                SendBytes(step.text);
                return true;
            case TPeerStep::TKind::CloseNow:
                if (!step.text.empty()) SendBytes(step.text);
                CloseInOrder();
                return false;
            case TPeerStep::TKind::Stall: {
                const auto until = std::chrono::steady_clock::now() + step.duration;
                // Keep reading (and recording) so a client that gives up and
                // closes ends the stall.
                while (!stop && !client_closed && std::chrono::steady_clock::now() < until) {
                    if (ReadLine(line, until)) continue;
                }
                return !client_closed;
            }
            case TPeerStep::TKind::StartTls:
                return Handshake(step);
            case TPeerStep::TKind::Drip:
                for (char byte : step.text) {
                    if (stop || ClientGone() || !SendBytes(std::string(1, byte))) return false;
                    const auto next = std::chrono::steady_clock::now() + step.duration;
                    while (!stop && std::chrono::steady_clock::now() < next) {
                        if (ClientGone()) return false;
                        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
                    }
                }
                return true;
            case TPeerStep::TKind::Flood: {
                // Whole blocks at a time, so the client is never short of input.
                std::string block;
                while (block.size() < 64 * 1024) block += step.text;
                const auto until = std::chrono::steady_clock::now() + step.duration;
                while (!stop && std::chrono::steady_clock::now() < until) {
                    if (!SendBytes(block)) return false;
                }
                return true;
            }
        }
        return false;
    }

    void Main() {
        if (Accept()) {
            bool going = true;
            for (const auto& step : script) {
                if (!(going = Run(step))) break;
            }
            if (going) {
                // Record what else the client says until it closes.
                std::string line;
                const auto deadline = std::chrono::steady_clock::now() + kStepLimit;
                while (ReadLine(line, deadline)) {
                }
            }
            CloseConnection();
        }
        std::lock_guard lock(mutex);
        finished = true;
        finished_signal.notify_all();
    }

    void WaitFinished(std::chrono::milliseconds limit) {
        std::unique_lock lock(mutex);
        if (!finished_signal.wait_for(lock, limit, [this] { return finished; })) {
            stop = true;
            finished_signal.wait(lock, [this] { return finished; });
        }
    }
};

TScriptedPeer::TScriptedPeer(std::vector<TPeerStep> script, const std::string& address)
    : state_(std::make_unique<TState>()) {
    Certificates();  // made before the client's clock starts on a time limit
    // The TLS library writes to the socket itself; a client that has gone
    // must not end the test program.
    IgnoreBrokenPipes();
    state_->script = std::move(script);
    state_->listen_fd = ListenOn(address, 4, state_->port);
    if (state_->listen_fd == kNoTestSocket) throw std::runtime_error("scripted peer cannot listen on " + address);
    state_->thread = std::thread([state = state_.get()] { state->Main(); });
}

TScriptedPeer::~TScriptedPeer() {
    state_->stop = true;
    state_->thread.join();
    CloseTestSocket(state_->listen_fd);
    if (state_->context != nullptr) SSL_CTX_free(state_->context);
}

std::uint16_t TScriptedPeer::Port() const { return state_->port; }

std::vector<std::string> TScriptedPeer::Transcript(std::chrono::milliseconds limit) {
    state_->WaitFinished(limit);
    std::lock_guard lock(state_->mutex);
    return state_->transcript;
}

std::string TScriptedPeer::Failures(std::chrono::milliseconds limit) {
    state_->WaitFinished(limit);
    std::lock_guard lock(state_->mutex);
    return state_->failures;
}

std::string TScriptedPeer::ServerName(std::chrono::milliseconds limit) {
    state_->WaitFinished(limit);
    std::lock_guard lock(state_->mutex);
    return state_->server_name;
}

std::string TScriptedPeer::TlsVersion(std::chrono::milliseconds limit) {
    state_->WaitFinished(limit);
    std::lock_guard lock(state_->mutex);
    return state_->tls_version;
}

const std::string& TestCaCertificatePem() { return Certificates().ca.pem; }

const std::string& SelfSignedCertificatePem() { return Certificates().self_signed.pem; }

SSL_CTX* MakeTestServerTlsContext(TPeerCertificate certificate) {
    return MakeServerContext(certificate, TPeerTlsVersions::Tls12AndUp);
}

bool PeerCanServeTls10() {
    SSL_CTX* context = MakeServerContext(TPeerCertificate::SelfSigned, TPeerTlsVersions::Tls10Only);
    SSL* ssl = SSL_new(context);
    // A library built without TLS 1.0 has no cipher left for it.
    STACK_OF(SSL_CIPHER)* ciphers = ssl != nullptr ? SSL_get1_supported_ciphers(ssl) : nullptr;
    const bool usable = ciphers != nullptr && sk_SSL_CIPHER_num(ciphers) > 0;
    sk_SSL_CIPHER_free(ciphers);
    SSL_free(ssl);
    SSL_CTX_free(context);
    ERR_clear_error();
    return usable;
}

}  // namespace kdv::testing
