// The SMTP dialogue against a scripted server: every line the client sends,
// in order, for greetings, STARTTLS, the logins, the transfer with refused
// recipients and commands, and servers that fail or vanish on the way.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "clients/mail_smtp.h"
#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_writer.h"
#include "net/mail_ssl_io_handler.h"
#include "support/free_port.h"
#include "support/scripted_mail_client.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;
using enum TUseTLS;

// Stands for the message lines in an expected dialogue.
const std::string kMessage = "<message>";

void FillMessage(TMailMessage& message, const std::vector<std::string>& to) {
    message.From().Address = "leitstelle@example.org";
    message.ReplyTo.SetEMailAddresses("leitstelle@example.org");
    message.Recipients.SetEMailAddresses([&] {
        std::string list;
        for (const auto& address : to) list += (list.empty() ? "" : ", ") + address;
        return list;
    }());
    message.Subject = "Lagemeldung (#17)";
    message.Date = LocalTime{std::chrono::local_days{std::chrono::year{2026} / 12 / 10} + 14h + 5min};
    message.SetEncoding(TMailEncoding::meMIME);
    TMailText& text = message.MessageParts.AddText({"Erste Zeile", ".", ".Punkt am Anfang", "Ende"});
    text.SetContentType("text/plain; charset=iso-8859-1");
}

// The lines the writer makes of the message, dot-stuffed as on the wire.
std::vector<std::string> MessageLines(const std::vector<std::string>& to) {
    TMailMessage message;
    FillMessage(message, to);
    std::string text;
    TStringSink sink(text);
    TMailMessageWriter writer(sink, true);
    writer.SendMsg(message);
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

std::vector<std::string> Expand(const std::vector<std::string>& dialogue, const std::vector<std::string>& to) {
    std::vector<std::string> lines;
    for (const auto& line : dialogue) {
        if (line == kMessage) {
            const auto message = MessageLines(to);
            lines.insert(lines.end(), message.begin(), message.end());
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

// Pieces of server scripts.
TPeerStep Greeting() { return Send("220 mail.test ESMTP"); }
TPeerStep EhloReply(std::vector<std::string> capabilities) {
    std::vector<std::string> lines{"mail.test"};
    lines.insert(lines.end(), capabilities.begin(), capabilities.end());
    for (std::size_t i = 0; i < lines.size(); ++i) lines[i] = (i + 1 < lines.size() ? "250-" : "250 ") + lines[i];
    return SendLines(lines);
}
// base64 of "anna", of "geheim" and of "\0anna\0geheim".
const std::string kUser64 = "YW5uYQ==";
const std::string kPass64 = "Z2VoZWlt";
const std::string kPlain64 = "AGFubmEAZ2VoZWlt";

std::vector<TPeerStep> Steps(std::initializer_list<std::vector<TPeerStep>> pieces) {
    std::vector<TPeerStep> steps;
    for (const auto& piece : pieces) steps.insert(steps.end(), piece.begin(), piece.end());
    return steps;
}
// A transfer to one recipient that the server takes.
std::vector<TPeerStep> Transfer(const std::string& to = "a@example.org") {
    return {Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 2.1.0 Ok"), Expect("RCPT TO:<" + to + ">"),
            Send("250 2.1.5 Ok"), Expect("DATA"), Send("354 End data with <CR><LF>.<CR><LF>"), ExpectData(),
            Send("250 2.0.0 Ok: queued")};
}
const std::vector<std::string> kTransferLines{"MAIL FROM:<leitstelle@example.org>", "RCPT TO:<a@example.org>",
                                              "DATA", kMessage, "."};
std::vector<std::string> Lines(std::initializer_list<std::vector<std::string>> pieces) {
    std::vector<std::string> lines;
    for (const auto& piece : pieces) lines.insert(lines.end(), piece.begin(), piece.end());
    return lines;
}

struct TSessionCase {
    const char* name;
    TUseTLS use_tls;
    bool with_user;                   // user "anna", password "geheim"
    std::vector<std::string> to;
    std::vector<TPeerStep> script;
    std::vector<std::string> dialogue;  // what the client sends; kMessage for the message lines
    std::string error;                  // the error's message; "" when the session succeeds
    TErrorKind kind = TErrorKind::ekOther;
    int reply_code = 0;
    std::vector<std::string> refused;   // recipients Send reports as refused
    bool authenticated = false;         // Authenticate's result
    std::string peer_failure;           // how the server's side went wrong; "" when it did not
    TSMTPStage stage = TSMTPStage::ssConnect;  // where the session failed
};

void PrintTo(const TSessionCase& c, std::ostream* os) { *os << c.name; }

class SmtpSession : public ::testing::TestWithParam<TSessionCase> {};

TEST_P(SmtpSession, Dialogue) {
    const TSessionCase& c = GetParam();
    TMailSSLIOHandlerSocketOpenSSL tls;
    tls.SSLOptions.SetMethod(TMailSSLVersion::sslvTLSv1_2);
    tls.SSLOptions.Mode = TMailSSLMode::sslmClient;
    TScriptedMailClient<TMailSMTP> dialogue(c.script, c.with_user ? "anna" : "", c.with_user ? "geheim" : "");
    TMailSMTP& smtp = dialogue.Client;
    smtp.SetIOHandler(&tls);
    smtp.SetUseTLS(c.use_tls);
    smtp.HeloName = "client.test";
    TMailMessage message;
    FillMessage(message, c.to);

    std::string error;
    TErrorKind kind = TErrorKind::ekOther;
    int reply_code = 0;
    std::optional<TSMTPStage> stage;
    TSMTPSendResult result;
    bool authenticated = false;
    try {
        smtp.Connect();
        authenticated = smtp.Authenticate();
        result = smtp.Send(message);
    } catch (const EMailSMTPError& e) {
        error = e.what();
        kind = e.ErrorKind();
        reply_code = e.ReplyCode();
        stage = e.Stage();
    }
    // The transcript is taken after the way the service ends a session: the
    // transport freed, no QUIT.
    EXPECT_EQ(dialogue.Transcript(), Expand(c.dialogue, c.to));
    const std::string failures = dialogue.Failures();
    EXPECT_TRUE(failures.starts_with(c.peer_failure)) << failures;
    if (c.peer_failure.empty()) {
        EXPECT_EQ(failures, "");
    }
    if (c.error.find("\r\n") == std::string::npos && c.error.ends_with("...")) {
        EXPECT_TRUE(error.starts_with(c.error.substr(0, c.error.size() - 3))) << error;
    } else {
        EXPECT_EQ(error, c.error);
    }
    if (!c.error.empty()) {
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(reply_code, c.reply_code);
        EXPECT_EQ(stage, c.stage);
    }
    std::vector<std::string> refused;
    for (const auto& r : result.Refused) refused.push_back(r.Address);
    EXPECT_EQ(refused, c.refused);
    if (c.error.empty()) {
        EXPECT_EQ(authenticated, c.authenticated);
    }
}

const std::vector<std::string> kAuthLogin{"AUTH LOGIN", kUser64, kPass64};
const std::vector<TPeerStep> kLoginAccepted{Expect("AUTH LOGIN"), Send("334 VXNlcm5hbWU6"), Expect(kUser64),
                                            Send("334 UGFzc3dvcmQ6"), Expect(kPass64),
                                            Send("235 2.7.0 Authentication successful")};

INSTANTIATE_TEST_SUITE_P(
    Plain, SmtpSession,
    ::testing::Values(
        TSessionCase{"LoginAndTransferWithoutQuit", utNoTLSSupport, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"PIPELINING", "AUTH PLAIN LOGIN"})},
                            kLoginAccepted,
                            Transfer()}),
                     Lines({{"EHLO client.test"}, kAuthLogin, kTransferLines}),
                     "", {}, 0, {}, true, ""},
        TSessionCase{"NoUserNoLogin", utNoTLSSupport, false, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"})}, Transfer()}),
                     Lines({{"EHLO client.test"}, kTransferLines}),
                     "", {}, 0, {}, false, ""},
        TSessionCase{"EhloRefusedHeloFollows", utNoTLSSupport, false, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), Send("500 5.5.1 Command unrecognized"),
                             Expect("HELO client.test"), Send("250 mail.test")},
                            Transfer()}),
                     Lines({{"EHLO client.test", "HELO client.test"}, kTransferLines}),
                     "", {}, 0, {}, false, ""},
        TSessionCase{"HeloRefusedToo", utNoTLSSupport, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), Send("500 no"), Expect("HELO client.test"),
                      Send("501 5.5.4 Bad name")},
                     {"EHLO client.test", "HELO client.test"},
                     "Bad name\r\n", TErrorKind::ekReply, 501, {}, false, "", TSMTPStage::ssEhlo},
        TSessionCase{"GreetingNot220", utNoTLSSupport, false, {"a@example.org"},
                     {SendLines({"554-5.3.2 mail.test", "554 5.3.2 no service for you"})},
                     {},
                     "mail.test\r\nno service for you\r\n", TErrorKind::ekReply, 554, {}, false, "",
                     TSMTPStage::ssGreeting},
        TSessionCase{"GreetingWithInvalidCode", utNoTLSSupport, false, {"a@example.org"},
                     {Send("abc hello")},
                     {},
                     "Antwortcode ist ungültig: abc", TErrorKind::ekReply, 0, {}, false, "", TSMTPStage::ssGreeting},
        TSessionCase{"UserNameAnswered235GetsNoPassword", utNoTLSSupport, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"}),
                             Expect("AUTH LOGIN"), Send("334 VXNlcm5hbWU6"), Expect(kUser64), Send("235 Ok")},
                            Transfer()}),
                     Lines({{"EHLO client.test", "AUTH LOGIN", kUser64}, kTransferLines}),
                     "", {}, 0, {}, true, ""},
        TSessionCase{"AuthEqualsFormOffersLogin", utNoTLSSupport, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH=LOGIN PLAIN"})},
                            kLoginAccepted,
                            Transfer()}),
                     Lines({{"EHLO client.test"}, kAuthLogin, kTransferLines}),
                     "", {}, 0, {}, true, ""},
        TSessionCase{"OnlyPlainOffered", utNoTLSSupport, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH PLAIN CRAM-MD5"}),
                             Expect("AUTH PLAIN " + kPlain64), Send("235 2.7.0 Ok")},
                            Transfer()}),
                     Lines({{"EHLO client.test", "AUTH PLAIN " + kPlain64}, kTransferLines}),
                     "", {}, 0, {}, true, ""},
        TSessionCase{"UserButNoMechanism", utNoTLSSupport, true, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH CRAM-MD5", "SIZE 1000"})},
                     {"EHLO client.test"},
                     kNoAuthMechanism, TErrorKind::ekAuthentication, 0, {}, false, "", TSMTPStage::ssAuth},
        // A relay that admits by address: the user name is no reason to stop.
        TSessionCase{"UserButNoAuthOfferedSendsWithoutLogin", utNoTLSSupport, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"SIZE 1000", "8BITMIME"})},
                            Transfer()}),
                     Lines({{"EHLO client.test"}, kTransferLines}),
                     "", {}, 0, {}, false, ""},
        TSessionCase{"PasswordRefused", utNoTLSSupport, true, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"}), Expect("AUTH LOGIN"),
                      Send("334 VXNlcm5hbWU6"), Expect(kUser64), Send("334 UGFzc3dvcmQ6"), Expect(kPass64),
                      Send("535 5.7.8 Error: authentication failed")},
                     Lines({{"EHLO client.test"}, kAuthLogin}),
                     "Error: authentication failed\r\n", TErrorKind::ekAuthentication, 535, {}, false, "",
                     TSMTPStage::ssAuth},
        TSessionCase{"MailFromRefusedWithMultiLineReply", utNoTLSSupport, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"),
                      SendLines({"530-5.7.0 Authentication", "530 5.7.0 required"}), Expect("RSET"),
                      Send("250 2.0.0 Ok")},
                     {"EHLO client.test", "MAIL FROM:<leitstelle@example.org>", "RSET"},
                     "Authentication\r\nrequired\r\n", TErrorKind::ekReply, 530, {}, false, "", TSMTPStage::ssMailFrom},
        TSessionCase{"RefusedSecondRecipientStillGetsTheOthersMail", utNoTLSSupport, false,
                     {"a@example.org", "tippfehler@example.org", "c@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 Ok"), Expect("RCPT TO:<a@example.org>"),
                      Send("250 Ok"), Expect("RCPT TO:<tippfehler@example.org>"),
                      Send("550 5.1.1 <tippfehler@example.org>: Recipient address rejected"),
                      Expect("RCPT TO:<c@example.org>"), Send("251 2.1.5 forwarded"), Expect("DATA"),
                      Send("354 go"), ExpectData(), Send("250 Ok")},
                     {"EHLO client.test", "MAIL FROM:<leitstelle@example.org>", "RCPT TO:<a@example.org>",
                      "RCPT TO:<tippfehler@example.org>", "RCPT TO:<c@example.org>", "DATA", kMessage, "."},
                     "", {}, 0, {"tippfehler@example.org"}, false, ""},
        TSessionCase{"PeerClosesInsteadOfAnsweringRcpt", utNoTLSSupport, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 Ok"), Expect("RCPT TO:<a@example.org>"),
                      CloseNow()},
                     {"EHLO client.test", "MAIL FROM:<leitstelle@example.org>", "RCPT TO:<a@example.org>"},
                     "Die Verbindung wurde erfolgreich geschlossen.", TErrorKind::ekPeerClosed, 0, {}, false, "",
                     TSMTPStage::ssRcptTo},
        TSessionCase{"EveryRecipientRefused", utNoTLSSupport, false, {"a@example.org", "b@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 Ok"), Expect("RCPT TO:<a@example.org>"),
                      Send("550 5.1.1 unknown a"), Expect("RCPT TO:<b@example.org>"), Send("450 4.2.0 busy b"),
                      Expect("RSET"), Send("250 Ok")},
                     {"EHLO client.test", "MAIL FROM:<leitstelle@example.org>", "RCPT TO:<a@example.org>",
                      "RCPT TO:<b@example.org>", "RSET"},
                     "busy b\r\n", TErrorKind::ekReply, 450, {}, false, "", TSMTPStage::ssRcptTo},
        TSessionCase{"DataRefused", utNoTLSSupport, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 Ok"), Expect("RCPT TO:<a@example.org>"),
                      Send("250 Ok"), Expect("DATA"), Send("554 5.5.1 Error: no valid recipients"), Expect("RSET"),
                      Send("250 Ok")},
                     {"EHLO client.test", "MAIL FROM:<leitstelle@example.org>", "RCPT TO:<a@example.org>", "DATA",
                      "RSET"},
                     "Error: no valid recipients\r\n", TErrorKind::ekReply, 554, {}, false, "", TSMTPStage::ssData},
        TSessionCase{"EndOfDataRefused", utNoTLSSupport, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 Ok"), Expect("RCPT TO:<a@example.org>"),
                      Send("250 Ok"), Expect("DATA"), Send("354 go"), ExpectData(),
                      Send("552 5.3.4 Message too big"), Expect("RSET"), Send("250 Ok")},
                     Lines({{"EHLO client.test"}, kTransferLines, {"RSET"}}),
                     "Message too big\r\n", TErrorKind::ekReply, 552, {}, false, "", TSMTPStage::ssData},
        TSessionCase{"PeerClosesInTheMiddleOfData", utNoTLSSupport, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({}),
                      Expect("MAIL FROM:<leitstelle@example.org>"), Send("250 Ok"), Expect("RCPT TO:<a@example.org>"),
                      Send("250 Ok"), Expect("DATA"), Send("354 go"), ExpectAny(), CloseNow()},
                     {"EHLO client.test", "MAIL FROM:<leitstelle@example.org>", "RCPT TO:<a@example.org>", "DATA",
                      "From: \"leitstelle@example.org\" <leitstelle@example.org>"},
                     "Die Verbindung wurde erfolgreich geschlossen.", TErrorKind::ekPeerClosed, 0, {}, false, "",
                     TSMTPStage::ssData}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    StartTls, SmtpSession,
    ::testing::Values(
        TSessionCase{"TlsThenLoginAndTransfer", utUseRequireTLS, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"STARTTLS"}), Expect("STARTTLS"),
                             Send("220 2.0.0 Ready to start TLS"), StartTls(), Expect("EHLO client.test"),
                             EhloReply({"AUTH PLAIN LOGIN"})},
                            kLoginAccepted,
                            Transfer()}),
                     Lines({{"EHLO client.test", "STARTTLS", "EHLO client.test"}, kAuthLogin, kTransferLines}),
                     "", {}, 0, {}, true, ""},
        TSessionCase{"NotOfferedUnderRequire", utUseRequireTLS, true, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"}), Expect("QUIT"),
                      Send("221 Bye")},
                     {"EHLO client.test", "QUIT"},
                     "SSL ist auf diesem Server nicht verfügbar.", TErrorKind::ekTls, 0, {}, false, "",
                     TSMTPStage::ssStartTls},
        TSessionCase{"EhloRefusedUnderRequire", utUseRequireTLS, false, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), Send("500 unknown"), Expect("HELO client.test"),
                      Send("250 mail.test"), Expect("QUIT"), Send("221 Bye")},
                     {"EHLO client.test", "HELO client.test", "QUIT"},
                     "SSL ist auf diesem Server nicht verfügbar.", TErrorKind::ekTls, 0, {}, false, "",
                     TSMTPStage::ssStartTls},
        TSessionCase{"NotOfferedUnderExplicitGoesOnPlain", utUseExplicitTLS, true, {"a@example.org"},
                     Steps({{Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"})}, kLoginAccepted,
                            Transfer()}),
                     Lines({{"EHLO client.test"}, kAuthLogin, kTransferLines}),
                     "", {}, 0, {}, true, ""},
        TSessionCase{"StartTlsRefused", utUseExplicitTLS, true, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({"STARTTLS"}), Expect("STARTTLS"),
                      Send("454 4.7.0 TLS not available due to local problem"), Expect("QUIT"), Send("221 Bye")},
                     {"EHLO client.test", "STARTTLS", "QUIT"},
                     "Befehl zum Starten der SSL-Aushandlung fehlgeschlagen.", TErrorKind::ekTls, 0, {}, false, "",
                     TSMTPStage::ssStartTls},
        TSessionCase{"HandshakeFails", utUseRequireTLS, true, {"a@example.org"},
                     {Greeting(), Expect("EHLO client.test"), EhloReply({"STARTTLS"}), Expect("STARTTLS"),
                      Send("220 Go ahead"), StartTls(TPeerCertificate::SelfSigned, TPeerTlsVersions::Tls10Only)},
                     {"EHLO client.test", "STARTTLS"},
                     "SSL-Aushandlung fehlgeschlagen....", TErrorKind::ekTls, 0, {}, false, "TLS handshake failed",
                     TSMTPStage::ssStartTls}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SmtpStage, NothingListeningFailsAtConnect) {
    TMailSMTP smtp;
    smtp.Host = "127.0.0.1";
    smtp.Port = FreePort();
    try {
        smtp.Connect();
        ADD_FAILURE() << "connected to a closed port";
    } catch (const EMailSMTPError& e) {
        EXPECT_EQ(e.Stage(), TSMTPStage::ssConnect);
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekRefused);
    }
}

// Port 465 (here the test's port standing in for it) speaks TLS before the
// greeting, whatever the STARTTLS mode says.
TEST(SmtpSmtps, TlsFromTheFirstByte) {
    TMailSSLIOHandlerSocketOpenSSL tls;
    tls.SSLOptions.SetMethod(TMailSSLVersion::sslvTLSv1_2);
    TScriptedMailClient<TMailSMTP> dialogue(
        Steps({{StartTls(), Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"})},
               kLoginAccepted,
               {Expect("QUIT"), Send("221 Bye")}}),
        "anna", "geheim");
    TMailSMTP& smtp = dialogue.Client;
    smtp.SetIOHandler(&tls);
    smtp.SetUseTLS(utUseRequireTLS);
    smtp.SmtpsPort = dialogue.Peer.Port();
    smtp.HeloName = "client.test";
    smtp.Connect("127.0.0.1");
    EXPECT_TRUE(smtp.Authenticate());
    EXPECT_TRUE(smtp.DidAuthenticate());
    smtp.Disconnect();
    EXPECT_FALSE(smtp.DidAuthenticate());
    EXPECT_EQ(dialogue.Transcript(), Lines({{"EHLO client.test"}, kAuthLogin, {"QUIT"}}));
    EXPECT_EQ(dialogue.Failures(), "");
    EXPECT_EQ(dialogue.Peer.TlsVersion().substr(0, 4), "TLSv");
}

TEST(SmtpModes, StartTlsModesTurnEhloOn) {
    TMailSSLIOHandlerSocketOpenSSL tls;
    for (TUseTLS mode : {utUseRequireTLS, utUseExplicitTLS}) {
        TMailSMTP smtp;
        smtp.SetIOHandler(&tls);
        smtp.UseEhlo = false;
        smtp.SetUseTLS(mode);
        EXPECT_TRUE(smtp.UseEhlo);
    }
    TMailSMTP smtp;
    EXPECT_EQ(smtp.Port, 25);
    smtp.SetIOHandler(&tls);
    smtp.SetUseTLS(utUseImplicitTLS);
    EXPECT_EQ(smtp.Port, 465);
}

TEST(SmtpGreeting, HostNameWithoutHeloName) {
    TScriptedMailClient<TMailSMTP> dialogue({Greeting(), ExpectAny(), EhloReply({})});
    dialogue.Client.Connect("127.0.0.1");
    const auto transcript = dialogue.Transcript();
    ASSERT_EQ(transcript.size(), 1u);
    EXPECT_TRUE(transcript[0].starts_with("EHLO ") && transcript[0].size() > 5) << transcript[0];
}

TEST(SmtpCapabilities, EhloLinesWithoutTheFirst) {
    TScriptedMailClient<TMailSMTP> dialogue({Greeting(), Expect("EHLO client.test"),
                                             SendLines({"250-mail.test greets you", "250-SIZE 10240000",
                                                        "250-STARTTLS", "250 AUTH=LOGIN PLAIN"})});
    TMailSMTP& smtp = dialogue.Client;
    smtp.HeloName = "client.test";
    smtp.Connect("127.0.0.1");
    EXPECT_EQ(smtp.Capabilities, (std::vector<std::string>{"SIZE 10240000", "STARTTLS", "AUTH=LOGIN PLAIN"}));
    EXPECT_EQ(smtp.LastCmdResult().Code, 250);
    EXPECT_EQ(dialogue.Failures(), "");
}

TEST(SmtpCredentials, GoOutAsUtf8Bytes) {
    // "Jürgen" and "Passwört€" as UTF-8, base64: the server decodes the same bytes.
    TScriptedMailClient<TMailSMTP> dialogue(
        {Greeting(), Expect("EHLO client.test"), EhloReply({"AUTH LOGIN"}), Expect("AUTH LOGIN"),
         Send("334 VXNlcm5hbWU6"), Expect("SsO8cmdlbg=="), Send("334 UGFzc3dvcmQ6"), Expect("UGFzc3fDtnJ04oKs"),
         Send("235 Ok")},
        "J\xc3\xbcrgen", "Passw\xc3\xb6rt\xe2\x82\xac");
    TMailSMTP& smtp = dialogue.Client;
    smtp.HeloName = "client.test";
    smtp.Connect("127.0.0.1");
    EXPECT_TRUE(smtp.Authenticate());
    EXPECT_EQ(dialogue.Failures(), "");
}

}  // namespace
}  // namespace kdv::testing
