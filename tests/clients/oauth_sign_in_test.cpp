// OAuth 2.0 sign-in of the three mail clients against a scripted server:
// the mechanism chosen from what the server offers, the token in the first
// line (SASL-IR, SMTP's initial response) or after the server's "+", the
// JSON error challenge answered and reported, one retry with a renewed
// token, a server without the mechanisms, and no token in any error text.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "clients/mail_imap4.h"
#include "clients/mail_pop3.h"
#include "clients/mail_smtp.h"
#include "clients/sasl_oauth.h"
#include "support/scripted_mail_client.h"

namespace kdv::testing {
namespace {

const std::string kUser = "anna@example.org";
// As long as real ones: too long for POP3's AUTH line.
const std::string kFirst = "ya29.first-" + std::string(300, 'a');
const std::string kSecond = "ya29.second-" + std::string(300, 'b');
// {"status":"401","schemes":"bearer","scope":"https://mail.google.com/"}
const std::string kChallenge =
    "eyJzdGF0dXMiOiI0MDEiLCJzY2hlbWVzIjoiYmVhcmVyIiwic2NvcGUiOiJodHRwczovL21haWwuZ29vZ2xlLmNvbS8ifQ==";
const std::string kChallengeText = " (Status 401, Scope https://mail.google.com/)";

// Hands out kFirst, then kSecond on renewal, and notes every call; or
// fails as a token endpoint that cannot be reached would.
class TFakeTokenSource final : public IOAuthTokenSource {
public:
    std::string Token() override {
        calls += " token";
        if (fail) throw EDiraError(TErrorKind::ekAuthentication, "Token-Endpunkt nicht erreichbar");
        return kFirst;
    }
    std::string RenewedToken(const std::string& rejected) override {
        calls += rejected == kFirst ? " renew(first)" : " renew(?)";
        return kSecond;
    }
    std::string calls;
    bool fail = false;
};

// Stands for the base64 initial response of a mechanism with a token; the
// test spells it out once the peer's port (part of OAUTHBEARER's) is known.
std::string IR(TOAuthMechanism mechanism, const std::string& token) {
    return std::string("<") + OAuthMechanismName(mechanism) + " " + token + ">";
}
const std::string kBearer1 = IR(TOAuthMechanism::OAuthBearer, kFirst);
const std::string kBearer2 = IR(TOAuthMechanism::OAuthBearer, kSecond);
const std::string kX1 = IR(TOAuthMechanism::XOAuth2, kFirst);
const std::string kX2 = IR(TOAuthMechanism::XOAuth2, kSecond);

std::string Spelled(std::string line, std::uint16_t port) {
    for (const auto mechanism : {TOAuthMechanism::OAuthBearer, TOAuthMechanism::XOAuth2}) {
        for (const std::string& token : {kFirst, kSecond}) {
            const std::string mark = IR(mechanism, token);
            const std::size_t at = line.find(mark);
            if (at == std::string::npos) continue;
            line.replace(at, mark.size(), Base64Line(OAuthInitialResponse(mechanism, kUser, token, "127.0.0.1", port)));
        }
    }
    return line;
}

// Lines that carry a token are taken whatever they hold; the transcript
// holds them exactly.
std::vector<TPeerStep> Script(const std::vector<std::string>& client_lines_and_replies) {
    std::vector<TPeerStep> steps;
    for (const std::string& item : client_lines_and_replies) {
        if (item.starts_with("C: ")) {
            const std::string line = item.substr(3);
            steps.push_back(line.find('<') != std::string::npos ? ExpectAny() : Expect(line));
        } else {
            steps.push_back(Send(item.substr(3)));
        }
    }
    return steps;
}

std::vector<std::string> ClientLines(const std::vector<std::string>& dialogue, std::uint16_t port) {
    std::vector<std::string> lines;
    for (const std::string& item : dialogue) {
        if (item.starts_with("C: ")) lines.push_back(Spelled(item.substr(3), port));
    }
    return lines;
}

// One dialogue: "S: " lines the server sends, "C: " lines the client must
// send; what the action returned (or "error <kind> <message>") and the
// token source's calls.
struct TOAuthCase {
    const char* name;
    std::vector<std::string> dialogue;
    std::string outcome;
    std::string calls;
    bool token_fails = false;
};

void PrintTo(const TOAuthCase& c, std::ostream* os) { *os << c.name; }

template <typename TClient>
void RunCase(const TOAuthCase& c, const std::function<std::string(TClient&)>& action) {
    TScriptedMailClient<TClient> dialogue(Script(c.dialogue), kUser, "unbenutzt");
    TFakeTokenSource tokens;
    tokens.fail = c.token_fails;
    dialogue.Client.OAuth = &tokens;
    const std::string outcome = dialogue.Outcome(action);
    EXPECT_EQ(outcome, c.outcome);
    EXPECT_EQ(tokens.calls, c.calls);
    EXPECT_EQ(dialogue.Transcript(), ClientLines(c.dialogue, dialogue.Peer.Port()));
    EXPECT_EQ(dialogue.Failures(), "");
    EXPECT_EQ(outcome.find(kFirst), std::string::npos);
    EXPECT_EQ(outcome.find(kSecond), std::string::npos);
}

// ---- SMTP ----

class SmtpOAuth : public ::testing::TestWithParam<TOAuthCase> {};

TEST_P(SmtpOAuth, Dialogue) {
    RunCase<TMailSMTP>(GetParam(), [](TMailSMTP& smtp) {
        smtp.HeloName = "client.test";
        smtp.Connect();
        try {
            return std::string(smtp.Authenticate() ? "signed in" : "not signed in");
        } catch (const EMailSMTPError& e) {
            return ErrorOutcome(e) + " | " + std::to_string(e.ReplyCode());
        }
    });
}

const std::vector<std::string> kSmtpHello{"S: 220 mail.test ESMTP", "C: EHLO client.test"};
std::vector<std::string> Smtp(std::vector<std::string> ehlo_and_rest) {
    std::vector<std::string> lines = kSmtpHello;
    lines.insert(lines.end(), ehlo_and_rest.begin(), ehlo_and_rest.end());
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmtpOAuth,
    ::testing::Values(
        TOAuthCase{"OAuthBearerPreferredWithInitialResponse",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER",
                         "C: AUTH OAUTHBEARER " + kBearer1, "S: 235 2.7.0 Authentication successful"}),
                   "signed in", " token"},
        TOAuthCase{"XOAuth2WhenOnlyThatIsOffered",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH=LOGIN XOAUTH2", "C: AUTH XOAUTH2 " + kX1,
                         "S: 235 2.7.0 Accepted"}),
                   "signed in", " token"},
        TOAuthCase{"ErrorChallengeAnsweredEmptyThenRetriedWithRenewedToken",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH XOAUTH2", "C: AUTH XOAUTH2 " + kX1, "S: 334 " + kChallenge,
                         "C: ", "S: 535-5.7.8 Username and Password not accepted.", "S: 535 5.7.8 Learn more",
                         "C: AUTH XOAUTH2 " + kX2, "S: 235 2.7.0 Accepted"}),
                   "signed in", " token renew(first)"},
        TOAuthCase{"RefusedTwiceReportsTheReplyAndTheChallenge",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH OAUTHBEARER", "C: AUTH OAUTHBEARER " + kBearer1,
                         "S: 334 " + kChallenge, "C: AQ==", "S: 535 5.7.8 Authentication failed",
                         "C: AUTH OAUTHBEARER " + kBearer2, "S: 334 " + kChallenge, "C: AQ==",
                         "S: 535 5.7.8 Authentication failed"}),
                   "error auth " + std::string(kOAuthRefused) + "535 5.7.8 Authentication failed" + kChallengeText +
                       " | 535",
                   " token renew(first)"},
        TOAuthCase{"TokenEchoedByTheServerIsMasked",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH XOAUTH2", "C: AUTH XOAUTH2 " + kX1,
                         "S: 535 5.7.8 bad token " + kFirst, "C: AUTH XOAUTH2 " + kX2,
                         "S: 535 5.7.8 bad token " + kSecond}),
                   "error auth " + std::string(kOAuthRefused) + "535 5.7.8 bad token *** | 535",
                   " token renew(first)"},
        TOAuthCase{"TemporaryFailureIsNoReasonToRenew",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH XOAUTH2", "C: AUTH XOAUTH2 " + kX1,
                         "S: 454 4.7.0 Temporary authentication failure"}),
                   "error auth " + std::string(kOAuthRefused) + "454 4.7.0 Temporary authentication failure | 454",
                   " token"},
        TOAuthCase{"MechanismsNotOffered",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH PLAIN LOGIN"}),
                   "error auth " + NoOAuthOfferedText("Der SMTP-Server") + " | 0", ""},
        TOAuthCase{"NoAuthAtAllIsNoUnauthenticatedTransfer",
                   Smtp({"S: 250-mail.test", "S: 250 SIZE 1000"}),
                   "error auth " + NoOAuthOfferedText("Der SMTP-Server") + " | 0", ""},
        TOAuthCase{"NoTokenToBeHadSendsNoAuth",
                   Smtp({"S: 250-mail.test", "S: 250 AUTH XOAUTH2"}),
                   "error auth Token-Endpunkt nicht erreichbar | 0", " token", true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- IMAP ----

class ImapOAuth : public ::testing::TestWithParam<TOAuthCase> {};

TEST_P(ImapOAuth, Dialogue) {
    RunCase<TMailIMAP4>(GetParam(), [](TMailIMAP4& imap) {
        imap.Connect(true);
        std::string capabilities;
        for (const std::string& c : imap.Capabilities) capabilities += " " + c;
        return std::string(ConnectionStateName(imap.ConnectionState)) + " |" + capabilities;
    });
}

const std::string kImapCapsIr = "S: * OK [CAPABILITY IMAP4rev1 SASL-IR AUTH=PLAIN AUTH=XOAUTH2 AUTH=OAUTHBEARER] ready";
const std::string kImapCapsNoIr = "S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN AUTH=XOAUTH2] ready";

INSTANTIATE_TEST_SUITE_P(
    Table, ImapOAuth,
    ::testing::Values(
        TOAuthCase{"SaslIrPutsTheTokenInTheCommand",
                   {kImapCapsIr, "C: C1 AUTHENTICATE OAUTHBEARER " + kBearer1,
                    "S: C1 OK [CAPABILITY IMAP4rev1 IDLE] Logged in"},
                   "Authentifiziert | IDLE IMAP4rev1", " token"},
        TOAuthCase{"ContinuationWithoutSaslIr",
                   {kImapCapsNoIr, "C: C1 AUTHENTICATE XOAUTH2", "S: + ", "C: " + kX1, "S: C1 OK Logged in",
                    "C: C2 CAPABILITY", "S: * CAPABILITY IMAP4rev1 MOVE", "S: C2 OK"},
                   "Authentifiziert | IMAP4rev1 MOVE", " token"},
        TOAuthCase{"ErrorChallengeThenRetryUnderTheNextTag",
                   {kImapCapsIr, "C: C1 AUTHENTICATE OAUTHBEARER " + kBearer1, "S: + " + kChallenge, "C: AQ==",
                    "S: C1 NO [AUTHENTICATIONFAILED] Authentication failed",
                    "C: C2 AUTHENTICATE OAUTHBEARER " + kBearer2, "S: C2 OK [CAPABILITY IMAP4rev1] Logged in"},
                   "Authentifiziert | IMAP4rev1", " token renew(first)"},
        TOAuthCase{"RefusedTwiceEndsWithLogout",
                   {kImapCapsNoIr, "C: C1 AUTHENTICATE XOAUTH2", "S: + ", "C: " + kX1, "S: + " + kChallenge, "C: ",
                    "S: C1 NO [AUTHENTICATIONFAILED] Invalid credentials", "C: C2 AUTHENTICATE XOAUTH2", "S: + ",
                    "C: " + kX2, "S: C2 NO [AUTHENTICATIONFAILED] Invalid credentials " + kSecond, "C: C3 LOGOUT",
                    "S: * BYE", "S: C3 OK"},
                   "error auth " + std::string(kOAuthRefused) +
                       "NO [AUTHENTICATIONFAILED] Invalid credentials ***",
                   " token renew(first)"},
        TOAuthCase{"MechanismsNotOffered",
                   {"S: * OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready", "C: C1 LOGOUT", "S: * BYE", "S: C1 OK"},
                   "error auth " + NoOAuthOfferedText("Der IMAP-Server"), ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- POP3 ----

class Pop3OAuth : public ::testing::TestWithParam<TOAuthCase> {};

TEST_P(Pop3OAuth, Dialogue) {
    RunCase<TMailPOP3>(GetParam(), [](TMailPOP3& pop3) {
        pop3.Connect("127.0.0.1");
        return std::string("signed in");
    });
}

std::vector<std::string> Pop3(const std::string& sasl, std::vector<std::string> rest) {
    std::vector<std::string> lines{"S: +OK ready", "C: CAPA", "S: +OK", "S: USER", "S: " + sasl, "S: ."};
    lines.insert(lines.end(), rest.begin(), rest.end());
    return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Table, Pop3OAuth,
    ::testing::Values(
        TOAuthCase{"TokenAfterTheContinuation",
                   Pop3("SASL PLAIN XOAUTH2 OAUTHBEARER",
                        {"C: AUTH OAUTHBEARER", "S: + ", "C: " + kBearer1, "S: +OK Logged in."}),
                   "signed in", " token"},
        TOAuthCase{"ErrorChallengeThenRetry",
                   Pop3("SASL XOAUTH2",
                        {"C: AUTH XOAUTH2", "S: + ", "C: " + kX1, "S: + " + kChallenge, "C: ",
                         "S: -ERR [AUTH] Authentication failed.", "C: AUTH XOAUTH2", "S: + ", "C: " + kX2,
                         "S: +OK Logged in."}),
                   "signed in", " token renew(first)"},
        TOAuthCase{"RefusedTwice",
                   Pop3("SASL OAUTHBEARER",
                        {"C: AUTH OAUTHBEARER", "S: + ", "C: " + kBearer1, "S: + " + kChallenge, "C: AQ==",
                         "S: -ERR [AUTH] Authentication failed.", "C: AUTH OAUTHBEARER", "S: + ", "C: " + kBearer2,
                         "S: -ERR [AUTH] Authentication failed."}),
                   "error auth " + std::string(kOAuthRefused) + "-ERR [AUTH] Authentication failed.",
                   " token renew(first)"},
        TOAuthCase{"TemporaryFailureIsNoReasonToRenew",
                   Pop3("SASL XOAUTH2",
                        {"C: AUTH XOAUTH2", "S: + ", "C: " + kX1, "S: -ERR [SYS/TEMP] Try again later"}),
                   "error auth " + std::string(kOAuthRefused) + "-ERR [SYS/TEMP] Try again later", " token"},
        TOAuthCase{"MechanismsNotOffered", Pop3("SASL PLAIN", {}),
                   "error auth " + NoOAuthOfferedText("Der POP3-Server"), ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The mechanisms' messages ----

struct TResponseCase {
    const char* name;
    TOAuthMechanism mechanism;
    std::string user;
    std::string token;
    std::string host;
    unsigned port;
    std::string expected;  // the raw message
};

class OAuthInitialResponseForm : public ::testing::TestWithParam<TResponseCase> {};

TEST_P(OAuthInitialResponseForm, Bytes) {
    const TResponseCase& c = GetParam();
    EXPECT_EQ(OAuthInitialResponse(c.mechanism, c.user, c.token, c.host, c.port), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, OAuthInitialResponseForm,
    ::testing::Values(
        // The examples of RFC 7628 and of the XOAUTH2 description.
        TResponseCase{"OAuthBearerAsInTheRfc", TOAuthMechanism::OAuthBearer, "user@example.com",
                      "vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==", "server.example.com", 143,
                      "n,a=user@example.com,\x01host=server.example.com\x01port=143\x01"
                      "auth=Bearer vF9dft4qmTc2Nvb3RlckBhbHRhdmlzdGEuY29tCg==\x01\x01"},
        TResponseCase{"XOAuth2", TOAuthMechanism::XOAuth2, "someuser@example.com", "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg",
                      "imap.example.com", 993,
                      "user=someuser@example.com\x01" "auth=Bearer ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg\x01\x01"},
        TResponseCase{"CommaAndEqualsEscapedInTheGs2Header", TOAuthMechanism::OAuthBearer, "a,b=c", "t", "", 0,
                      "n,a=a=2Cb=3Dc,\x01" "auth=Bearer t\x01\x01"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OAuthInitialResponseForm, XOAuth2Base64AsPublished) {
    EXPECT_EQ(Base64Line(OAuthInitialResponse(TOAuthMechanism::XOAuth2, "someuser@example.com",
                                              "ya29.vF9dft4qmTc2Nvb3RlckBhdHRhdmlzdGEuY29tCg", "", 0)),
              "dXNlcj1zb21ldXNlckBleGFtcGxlLmNvbQFhdXRoPUJlYXJlciB5YTI5LnZGOWRmdDRxbVRjMk52YjNSbGNrQmhkSFJoZG1semRHRXVZ"
              "Mjl0Q2cBAQ==");
}

struct TChallengeCase {
    const char* name;
    std::string base64;
    std::string text;
};

class OAuthErrorChallenge : public ::testing::TestWithParam<TChallengeCase> {};

TEST_P(OAuthErrorChallenge, Described) { EXPECT_EQ(DescribeOAuthErrorChallenge(GetParam().base64), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, OAuthErrorChallenge,
    ::testing::Values(TChallengeCase{"StatusAndScope", kChallenge, "Status 401, Scope https://mail.google.com/"},
                      // {"status":"invalid_token","scope":""}
                      TChallengeCase{"EmptyScopeLeftOut", "eyJzdGF0dXMiOiJpbnZhbGlkX3Rva2VuIiwic2NvcGUiOiIifQ==",
                                     "Status invalid_token"},
                      TChallengeCase{"NotJson", Base64Line("no json here"), ""},
                      TChallengeCase{"NotBase64", "%%%", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
