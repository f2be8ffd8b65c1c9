#pragma once
// The HTTPS requests the service makes besides mail: form posts to an
// OAuth 2.0 token endpoint. Behind a small interface so that the token
// logic is tested without a network; the real one uses libcurl, loaded at
// first use, so a machine without it runs everything but OAuth.
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kdv {

struct THttpsPost {
    // Only https: URLs are taken; the request carries secrets.
    std::string url;
    // The fields, sent as application/x-www-form-urlencoded.
    std::vector<std::pair<std::string, std::string>> form;
    // The whole exchange, connection included, is due within this.
    int time_limit_ms = 60000;
    // Root certificates to trust instead of the system's; empty: the
    // system's. The server's certificate and name are always checked.
    std::string ca_file;
};

struct THttpsAnswer {
    long status = 0;
    std::string body;
};

class IHttpsClient {
public:
    virtual ~IHttpsClient() = default;
    // Any HTTP status is an answer. Raises EDiraError when none came:
    // ekRefused (no connection, name unknown), ekTimeout, ekTls (handshake,
    // certificate), ekPeerClosed, ekTooLarge (answer beyond
    // kMaxHttpsAnswerBytes), ekUsage (not an https: URL), ekOther (no
    // libcurl, anything else); the text names the URL and the reason.
    virtual THttpsAnswer Post(const THttpsPost& request) = 0;
};

// A token endpoint's answer is a few kilobytes; more is no token endpoint.
inline constexpr std::size_t kMaxHttpsAnswerBytes = 1024 * 1024;

// The libcurl client.
std::unique_ptr<IHttpsClient> MakeHttpsClient();

// "a=1&b=x%20y": the fields percent-encoded as a form body.
std::string FormBody(const std::vector<std::pair<std::string, std::string>>& form);

}  // namespace kdv
