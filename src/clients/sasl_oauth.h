#pragma once
// Signing in with an OAuth 2.0 access token instead of a password: the two
// SASL mechanisms mail servers offer for it (OAUTHBEARER of RFC 7628 and
// the older XOAUTH2), the initial client response each expects, the reading
// of the JSON error challenge a server sends when it refuses the token, and
// the source the clients ask for a token.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

enum class TOAuthMechanism { OAuthBearer, XOAuth2 };

// "OAUTHBEARER" or "XOAUTH2".
const char* OAuthMechanismName(TOAuthMechanism mechanism);

// The mechanism to use among those a server offers (names in any case):
// OAUTHBEARER when offered, else XOAUTH2, else none.
std::optional<TOAuthMechanism> ChooseOAuthMechanism(const std::vector<std::string>& offered);

// The client's first message, not yet base64-encoded. OAUTHBEARER carries
// the user in its GS2 header (with "," and "=" escaped as the RFC asks),
// the server's host and port, and the token; XOAUTH2 the user and the token.
std::string OAuthInitialResponse(TOAuthMechanism mechanism, const std::string& user, const std::string& token,
                                 const std::string& host, unsigned port);

// What the client answers to the server's error challenge so the server can
// end the exchange: nothing for XOAUTH2, a single 0x01 for OAUTHBEARER
// (RFC 7628 3.2.3). Already base64-encoded.
std::string OAuthErrorChallengeAnswer(TOAuthMechanism mechanism);

// The German words for a base64 error challenge ({"status":"401",
// "scope":"..."}): "Status 401, Scope ..."; empty when it holds nothing
// readable.
std::string DescribeOAuthErrorChallenge(std::string_view base64);

// Base64 of `bytes` in one line, without line breaks.
std::string Base64Line(std::string_view bytes);

// What a mail client asks for the token it signs in with. Both raise
// EDiraError (with the token endpoint's reason) when no token can be had.
class IOAuthTokenSource {
public:
    virtual ~IOAuthTokenSource() = default;
    // A token that has not expired: the one in hand, or a new one.
    virtual std::string Token() = 0;
    // The server refused `rejected` although it had not expired: a new
    // one, fetched now. A client asks this at most once per sign-in.
    virtual std::string RenewedToken(const std::string& rejected) = 0;
};

// Signs in with the token in hand and, when the server refuses it before
// its time (revoked, or the server's clock ahead), once more with a
// renewed one. `attempt` makes one try; true: signed in.
template <typename TAttempt>
bool SignInWithOneRenewal(IOAuthTokenSource& source, TAttempt&& attempt) {
    const std::string token = source.Token();
    if (attempt(token)) return true;
    return attempt(source.RenewedToken(token));
}

// The start of the error text when a server refuses the token (and the
// renewed one).
inline constexpr const char* kOAuthRefused = "Anmeldung mit OAuth 2.0 abgelehnt: ";

// The server offers neither OAUTHBEARER nor XOAUTH2; `server` is the
// protocol's server ("Der SMTP-Server", ...).
std::string NoOAuthOfferedText(const std::string& server);

}  // namespace kdv
