#pragma once
// A small OAuth 2.0 token endpoint for tests, on loopback over HTTPS (a
// certificate of the test CA) or plain HTTP (for a mail server's token
// introspection). It issues access tokens for each grant the service uses
// (client credentials with a secret or a signed assertion, refresh token
// with rotation, JWT bearer, device code with authorization_pending and
// slow_down), answers introspection, and can expire, revoke or refuse.
//
//   TTestTokenServer server;
//   server.AddClient("app", "secret");
//   ... TokenURL = server.Url("/token"), CADatei = a file with TestCaCertificatePem()
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kdv::testing {

class TTestTokenServer {
public:
    explicit TTestTokenServer(bool tls = true);
    ~TTestTokenServer();
    TTestTokenServer(const TTestTokenServer&) = delete;
    TTestTokenServer& operator=(const TTestTokenServer&) = delete;

    std::uint16_t Port() const;
    // "https://127.0.0.1:<port><path>" (http: without TLS).
    std::string Url(const std::string& path = "/token") const;
    // The same endpoint over plain HTTP on a port of its own, for a mail
    // server's token introspection: "http://127.0.0.1:<port>/introspect".
    std::string IntrospectionUrl() const;

    // A client with a secret; with a certificate (PEM) its assertions are
    // checked against the certificate's key instead.
    void AddClient(const std::string& id, const std::string& secret, const std::string& certificate_pem = "");
    // A service account (issuer of JWT bearer assertions) and its key's certificate.
    void AddServiceAccount(const std::string& issuer, const std::string& certificate_pem);
    // A refresh token for `client_id` acting for `user`.
    std::string AddRefreshToken(const std::string& client_id, const std::string& user);
    // The user app tokens (client credentials) act for in introspection.
    void SetAppUser(const std::string& user);

    void SetLifetime(std::chrono::seconds lifetime);
    void SetRotateRefreshTokens(bool rotate);
    // Every token request answered with this error (HTTP 400/401); empty: none.
    void SetRefusal(const std::string& error, const std::string& description);
    // Waits this long before answering.
    void SetDelay(std::chrono::milliseconds delay);
    // Device flow: the code is authorised after `pending` polls answered
    // authorization_pending; the first poll is answered slow_down when asked;
    // `deny` answers access_denied instead of a token.
    void SetDeviceFlow(int pending, bool slow_down_first, bool deny, const std::string& user = "user@example.org");

    // The token port stops answering (connections are refused); the
    // introspection port keeps serving the mail servers.
    void CloseTokenPort();

    // Every token issued so far is expired / unknown to introspection.
    void ExpireAll();
    void RevokeAll();

    // What the endpoint received: "<path> <grant_type or token>" per request.
    std::vector<std::string> Requests() const;
    // The last request's form fields.
    std::map<std::string, std::string> LastForm() const;
    // Every access token issued so far.
    std::vector<std::string> AccessTokens() const;
    // The refresh tokens currently valid.
    std::vector<std::string> RefreshTokens() const;

private:
    struct TState;
    std::unique_ptr<TState> state_;
};

}  // namespace kdv::testing
