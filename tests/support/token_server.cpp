#include "support/token_server.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <thread>

#include "support/scripted_peer.h"
#include "support/test_socket.h"

namespace kdv::testing {
namespace {

using nlohmann::json;
using Clock = std::chrono::system_clock;

std::string Decode(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::map<std::string, std::string> ParseForm(const std::string& body) {
    std::map<std::string, std::string> form;
    std::size_t at = 0;
    while (at <= body.size()) {
        const std::size_t end = std::min(body.find('&', at), body.size());
        const std::string pair = body.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        if (!pair.empty()) form[Decode(pair.substr(0, eq))] = eq == std::string::npos ? "" : Decode(pair.substr(eq + 1));
        at = end + 1;
    }
    return form;
}

std::string Base64UrlDecode(std::string text) {
    for (char& c : text) {
        if (c == '-') c = '+';
        if (c == '_') c = '/';
    }
    while (text.size() % 4 != 0) text += '=';
    std::string out(text.size(), '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return "";
    out.resize(static_cast<std::size_t>(n));
    std::size_t padding = 0;
    for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) ++padding;
    out.resize(out.size() - std::min(padding, out.size()));
    return out;
}

// The claims of a JWT whose RS256 signature verifies with the certificate's
// key; nothing otherwise.
std::optional<json> VerifiedClaims(const std::string& jwt, const std::string& certificate_pem) {
    const std::size_t dot1 = jwt.find('.');
    const std::size_t dot2 = dot1 == std::string::npos ? dot1 : jwt.find('.', dot1 + 1);
    if (dot2 == std::string::npos) return std::nullopt;
    const std::string input = jwt.substr(0, dot2);
    const std::string signature = Base64UrlDecode(jwt.substr(dot2 + 1));
    BIO* bio = BIO_new_mem_buf(certificate_pem.data(), static_cast<int>(certificate_pem.size()));
    X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = cert != nullptr ? X509_get_pubkey(cert) : nullptr;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    const bool ok = key != nullptr && EVP_DigestVerifyInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                    EVP_DigestVerify(ctx, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                                     reinterpret_cast<const unsigned char*>(input.data()), input.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    X509_free(cert);
    BIO_free(bio);
    if (!ok) return std::nullopt;
    const json claims = json::parse(Base64UrlDecode(jwt.substr(dot1 + 1, dot2 - dot1 - 1)), nullptr, false);
    if (!claims.is_object()) return std::nullopt;
    return claims;
}

struct TIssued {
    std::string user;
    std::string client;
    Clock::time_point expires;
};

struct TClientEntry {
    std::string secret;
    std::string certificate;
};

}  // namespace

struct TTestTokenServer::TState {
    bool tls = true;
    TTestSocket listener = kNoTestSocket;
    std::uint16_t port = 0;
    TTestSocket plain_listener = kNoTestSocket;
    std::uint16_t plain_port = 0;
    SSL_CTX* context = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<bool> close_token_port{false};
    std::thread thread;

    mutable std::mutex mutex;
    std::map<std::string, TClientEntry> clients;
    std::map<std::string, std::string> accounts;  // issuer -> certificate
    std::map<std::string, std::pair<std::string, std::string>> refresh;  // token -> client, user
    std::map<std::string, TIssued> issued;
    std::string app_user;
    std::chrono::seconds lifetime{3600};
    bool rotate = false;
    std::string refusal;
    std::string refusal_description;
    std::chrono::milliseconds delay{0};
    int device_pending = 0;
    bool device_slow_down = false;
    bool device_deny = false;
    std::string device_user = "user@example.org";
    int device_polls = 0;
    std::vector<std::string> requests;
    // Kept after a revocation: a test looks for them in the log.
    std::vector<std::string> all_access;
    std::map<std::string, std::string> last_form;
    std::mt19937_64 random{std::random_device{}()};

    std::string NewToken(const char* prefix) {
        static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::string token = prefix;
        for (int i = 0; i < 40; ++i) token += kChars[random() % 62];
        return token;
    }

    std::pair<int, json> Issue(const std::string& client, const std::string& user, bool with_refresh) {
        const std::string token = NewToken("at-");
        issued[token] = TIssued{user, client, Clock::now() + lifetime};
        all_access.push_back(token);
        json answer = {{"token_type", "Bearer"}, {"access_token", token}, {"expires_in", lifetime.count()}};
        if (with_refresh) {
            const std::string fresh = NewToken("rt-");
            refresh[fresh] = {client, user};
            answer["refresh_token"] = fresh;
        }
        return {200, answer};
    }

    static std::pair<int, json> Error(int status, const std::string& error, const std::string& description = "") {
        json answer = {{"error", error}};
        if (!description.empty()) answer["error_description"] = description;
        return {status, answer};
    }

    // A client authenticated by its secret or its signed assertion.
    bool ClientKnown(const std::map<std::string, std::string>& form, const std::string& audience) {
        const auto id = form.find("client_id");
        if (id == form.end()) return false;
        const auto client = clients.find(id->second);
        if (client == clients.end()) return false;
        const auto assertion = form.find("client_assertion");
        if (assertion != form.end()) {
            if (client->second.certificate.empty()) return false;
            const auto claims = VerifiedClaims(assertion->second, client->second.certificate);
            return claims && claims->value("iss", "") == id->second && claims->value("sub", "") == id->second &&
                   claims->value("aud", "") == audience && claims->value("exp", 0LL) > Clock::to_time_t(Clock::now());
        }
        const auto secret = form.find("client_secret");
        return secret != form.end() && !client->second.secret.empty() && secret->second == client->second.secret;
    }

    std::pair<int, json> Handle(const std::string& path, const std::map<std::string, std::string>& form,
                                const std::string& audience) {
        std::lock_guard lock(mutex);
        last_form = form;
        const std::string grant = form.count("grant_type") ? form.at("grant_type") : "";
        requests.push_back(path + " " + (path == "/introspect" ? "token" : grant));
        if (path == "/introspect") {
            const auto found = form.count("token") ? issued.find(form.at("token")) : issued.end();
            if (found == issued.end() || found->second.expires <= Clock::now()) return {200, json{{"active", false}}};
            return {200, json{{"active", true},
                              {"username", found->second.user.empty() ? app_user : found->second.user},
                              {"client_id", found->second.client}}};
        }
        if (path == "/device") {
            if (!form.count("client_id") || !clients.count(form.at("client_id"))) return Error(400, "invalid_client");
            device_polls = 0;
            return {200, json{{"device_code", "dev-code-1"},
                              {"user_code", "WDJB-MJHT"},
                              {"verification_uri", "https://login.test/device"},
                              {"expires_in", 900},
                              {"interval", 1}}};
        }
        if (path != "/token") return Error(404, "not_found");
        if (!refusal.empty()) return Error(401, refusal, refusal_description);
        if (grant == "client_credentials") {
            if (!ClientKnown(form, audience)) {
                return Error(401, "invalid_client", "AADSTS7000215: Invalid client secret provided.");
            }
            return Issue(form.at("client_id"), "", false);
        }
        if (grant == "refresh_token") {
            const auto found = form.count("refresh_token") ? refresh.find(form.at("refresh_token")) : refresh.end();
            if (found == refresh.end()) return Error(400, "invalid_grant", "Token has been expired or revoked.");
            const auto [client, user] = found->second;
            if (rotate) refresh.erase(found);
            return Issue(client, user, rotate);
        }
        if (grant == "urn:ietf:params:oauth:grant-type:jwt-bearer") {
            const std::string assertion = form.count("assertion") ? form.at("assertion") : "";
            for (const auto& [issuer, certificate] : accounts) {
                const auto claims = VerifiedClaims(assertion, certificate);
                if (claims && claims->value("iss", "") == issuer && claims->value("aud", "") == audience) {
                    return Issue(issuer, claims->value("sub", ""), false);
                }
            }
            return Error(400, "invalid_grant", "Invalid JWT Signature.");
        }
        if (grant == "urn:ietf:params:oauth:grant-type:device_code") {
            if (!form.count("device_code") || form.at("device_code") != "dev-code-1") return Error(400, "expired_token");
            ++device_polls;
            if (device_slow_down && device_polls == 1) return Error(400, "slow_down");
            if (device_polls <= device_pending + (device_slow_down ? 1 : 0)) return Error(400, "authorization_pending");
            if (device_deny) return Error(400, "access_denied", "The user denied the request.");
            return Issue(form.at("client_id"), device_user, true);
        }
        return Error(400, "unsupported_grant_type");
    }

    // Reads one request, answers it, closes.
    void Serve(TTestSocket fd, bool with_tls) {
        SSL* ssl = nullptr;
        if (with_tls) {
            ssl = SSL_new(context);
            SSL_set_fd(ssl, static_cast<int>(fd));
            if (SSL_accept(ssl) != 1) {
                SSL_free(ssl);
                return;
            }
        }
        const auto read = [&](char* buffer, int size) {
            return ssl != nullptr ? SSL_read(ssl, buffer, size) : static_cast<int>(ReceiveSome(fd, buffer, static_cast<std::size_t>(size)));
        };
        const auto write = [&](const std::string& data) {
            if (ssl != nullptr) {
                SSL_write(ssl, data.data(), static_cast<int>(data.size()));
            } else {
                SendSome(fd, data.data(), data.size());
            }
        };
        std::string request;
        char buffer[4096];
        std::size_t head_end = std::string::npos;
        std::size_t length = 0;
        while (true) {
            if (head_end == std::string::npos) {
                head_end = request.find("\r\n\r\n");
                if (head_end != std::string::npos) {
                    std::string head = request.substr(0, head_end);
                    for (char& c : head) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
                    const std::size_t at = head.find("content-length:");
                    if (at != std::string::npos) length = std::stoul(head.substr(at + 15));
                }
            }
            if (head_end != std::string::npos && request.size() >= head_end + 4 + length) break;
            const int n = read(buffer, sizeof buffer);
            if (n <= 0) break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        if (head_end != std::string::npos) {
            const std::size_t blank = request.find(' ');
            const std::size_t blank2 = request.find(' ', blank + 1);
            std::string path = request.substr(blank + 1, blank2 - blank - 1);
            path = path.substr(0, path.find('?'));
            const auto form = ParseForm(request.substr(head_end + 4, length));
            // The mail server's introspection is never the slow part.
            const auto until =
                std::chrono::steady_clock::now() + (path == "/introspect" ? std::chrono::milliseconds(0) : delay);
            while (!stop && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            if (!with_tls && tls && path != "/introspect") {
                // Secrets never over the plain port.
                write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            } else {
                const auto [status, answer] = Handle(path, form, (tls ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                                                                     std::to_string(port) + path);
                const std::string body = answer.dump();
                write("HTTP/1.1 " + std::to_string(status) + (status == 200 ? " OK" : " Error") +
                      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
            }
        }
        if (ssl != nullptr) {
            SSL_shutdown(ssl);
            SSL_free(ssl);
        }
    }

    void Run() {
        while (!stop) {
            if (close_token_port.exchange(false)) {
                CloseTestSocket(listener);
                listener = kNoTestSocket;
            }
            // A closed token port waits on the plain one alone.
            TSocketWaitEntry p[2] = {{plain_listener}, {listener}};
            if (WaitSockets(p, listener != kNoTestSocket ? 2 : 1, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!p[i].ready) continue;
                const TTestSocket fd = AcceptConnection(p[i].socket, false);
                if (fd == kNoTestSocket) continue;
                Serve(fd, i == 1 && tls);
                CloseTestSocket(fd);
            }
        }
    }

    // Not inherited: a mail server started by the test would keep the port
    // open after the endpoint closes it.
    static TTestSocket Listen(std::uint16_t& port) {
        const TTestSocket fd = ListenOn("127.0.0.1", 16, port);
        if (fd == kNoTestSocket) throw std::runtime_error("token server: cannot listen");
        return fd;
    }
};

TTestTokenServer::TTestTokenServer(bool tls) : state_(std::make_unique<TState>()) {
    state_->tls = tls;
    // A client that gave up closes before the answer; writing to it must
    // not end the test program.
    IgnoreBrokenPipes();
    if (tls) state_->context = MakeTestServerTlsContext(TPeerCertificate::CaSigned);
    state_->listener = TState::Listen(state_->port);
    state_->plain_listener = TState::Listen(state_->plain_port);
    state_->thread = std::thread([this] { state_->Run(); });
}

TTestTokenServer::~TTestTokenServer() {
    state_->stop = true;
    state_->thread.join();
    CloseTestSocket(state_->listener);
    CloseTestSocket(state_->plain_listener);
    if (state_->context != nullptr) SSL_CTX_free(state_->context);
}

std::uint16_t TTestTokenServer::Port() const { return state_->port; }

std::string TTestTokenServer::Url(const std::string& path) const {
    return (state_->tls ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(state_->port) + path;
}

std::string TTestTokenServer::IntrospectionUrl() const {
    return "http://127.0.0.1:" + std::to_string(state_->plain_port) + "/introspect";
}

void TTestTokenServer::AddClient(const std::string& id, const std::string& secret, const std::string& certificate_pem) {
    std::lock_guard lock(state_->mutex);
    state_->clients[id] = TClientEntry{secret, certificate_pem};
}

void TTestTokenServer::AddServiceAccount(const std::string& issuer, const std::string& certificate_pem) {
    std::lock_guard lock(state_->mutex);
    state_->accounts[issuer] = certificate_pem;
}

std::string TTestTokenServer::AddRefreshToken(const std::string& client_id, const std::string& user) {
    std::lock_guard lock(state_->mutex);
    const std::string token = state_->NewToken("rt-");
    state_->refresh[token] = {client_id, user};
    return token;
}

void TTestTokenServer::SetAppUser(const std::string& user) {
    std::lock_guard lock(state_->mutex);
    state_->app_user = user;
}

void TTestTokenServer::SetLifetime(std::chrono::seconds lifetime) {
    std::lock_guard lock(state_->mutex);
    state_->lifetime = lifetime;
}

void TTestTokenServer::SetRotateRefreshTokens(bool rotate) {
    std::lock_guard lock(state_->mutex);
    state_->rotate = rotate;
}

void TTestTokenServer::SetRefusal(const std::string& error, const std::string& description) {
    std::lock_guard lock(state_->mutex);
    state_->refusal = error;
    state_->refusal_description = description;
}

void TTestTokenServer::SetDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(state_->mutex);
    state_->delay = delay;
}

void TTestTokenServer::SetDeviceFlow(int pending, bool slow_down_first, bool deny, const std::string& user) {
    std::lock_guard lock(state_->mutex);
    state_->device_pending = pending;
    state_->device_slow_down = slow_down_first;
    state_->device_deny = deny;
    state_->device_user = user;
}

void TTestTokenServer::CloseTokenPort() {
    state_->close_token_port = true;
    // Closed by the serving thread within its next poll.
    while (state_->close_token_port) std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

void TTestTokenServer::ExpireAll() {
    std::lock_guard lock(state_->mutex);
    for (auto& [token, issued] : state_->issued) issued.expires = Clock::now() - std::chrono::seconds(1);
}

void TTestTokenServer::RevokeAll() {
    std::lock_guard lock(state_->mutex);
    state_->issued.clear();
    state_->refresh.clear();
}

std::vector<std::string> TTestTokenServer::Requests() const {
    std::lock_guard lock(state_->mutex);
    return state_->requests;
}

std::map<std::string, std::string> TTestTokenServer::LastForm() const {
    std::lock_guard lock(state_->mutex);
    return state_->last_form;
}

std::vector<std::string> TTestTokenServer::AccessTokens() const {
    std::lock_guard lock(state_->mutex);
    return state_->all_access;
}

std::vector<std::string> TTestTokenServer::RefreshTokens() const {
    std::lock_guard lock(state_->mutex);
    std::vector<std::string> tokens;
    for (const auto& [token, owner] : state_->refresh) tokens.push_back(token);
    return tokens;
}

}  // namespace kdv::testing
