// The connection layer against real mail servers (Dovecot and Postfix of
// the mail sandbox): implicit TLS, STARTTLS, the version sets and the
// certificate check. Skipped when no sandbox is running, unless
// DIRAVID_REQUIRE_MAIL=1 makes its absence a failure.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "net/mail_ssl_io_handler.h"
#include "net/mail_tls_client.h"
#include "net/net_test_util.h"
#include "support/mail_sandbox.h"

namespace kdv::testing {
namespace {

enum class TProtocol { Smtp, Pop3, Imap };

// The protocol's own greeting check and STARTTLS exchange, just enough to
// reach the point where the layer takes over.
struct TDialogue {
    const char* greeting;        // start of the greeting line
    const char* capability;      // the command that lists capabilities
    const char* capability_end;  // start of the line that ends its answer
    const char* start_tls;       // the command that starts TLS
    const char* start_tls_ok;    // start of its positive answer
};

TDialogue DialogueOf(TProtocol protocol) {
    switch (protocol) {
        case TProtocol::Smtp: return {"220 ", "EHLO diravid.test", "250 ", "STARTTLS", "220"};
        case TProtocol::Pop3: return {"+OK", "CAPA", ".", "STLS", "+OK"};
        case TProtocol::Imap: return {"* OK", "c1 CAPABILITY", "c1 OK", "c2 STARTTLS", "c2 OK"};
    }
    return {};
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The lines of a capability answer, up to and including its end line.
std::string Capabilities(TMailLineIO& io, const TDialogue& dialogue) {
    io.WriteLn(dialogue.capability);
    std::string all;
    for (int i = 0; i < 100; ++i) {
        const std::string line = io.ReadLn();
        all += line + "\n";
        if (StartsWith(line, dialogue.capability_end)) break;
    }
    return all;
}

struct TTlsUser {
    TMailSSLIOHandlerSocketOpenSSL tls;
    TTestClient client;
    TTlsUser(const std::string& host, const std::string& port, TUseTLS mode, bool pop3_versions = false) {
        if (pop3_versions) {
            tls.SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1, TMailSSLVersion::sslvTLSv1_1,
                                           TMailSSLVersion::sslvTLSv1_2});
        } else {
            tls.SSLOptions.SetMethod(TMailSSLVersion::sslvTLSv1_2);
        }
        client.SetIOHandler(&tls);
        client.SetUseTLS(mode);
        client.Host = host;
        client.Port = static_cast<std::uint16_t>(std::stoi(port));
        client.ReadTimeout = 10000;
    }
};

struct TServerCase {
    const char* name;
    TProtocol protocol;
    const char* port_variable;
};

class ImplicitTlsServers : public ::testing::TestWithParam<TServerCase> {};

TEST_P(ImplicitTlsServers, GreetOverTls) {
    KDV_REQUIRE_MAIL_SANDBOX();
    const TServerCase& c = GetParam();
    const TDialogue dialogue = DialogueOf(c.protocol);
    TTlsUser user(Env("DIRAVID_MAIL_HOST"), Env(c.port_variable), TUseTLS::utUseImplicitTLS);
    user.client.Connect();
    EXPECT_FALSE(user.tls.PassThrough());
    EXPECT_TRUE(StartsWith(user.client.IO().ReadLnWait(), dialogue.greeting));
    EXPECT_FALSE(Capabilities(user.client.IO(), dialogue).empty());
    user.client.Disconnect(false);
}

INSTANTIATE_TEST_SUITE_P(Sandbox, ImplicitTlsServers,
                         ::testing::Values(TServerCase{"Smtps", TProtocol::Smtp, "DIRAVID_SMTPS_PORT"},
                                           TServerCase{"Pop3s", TProtocol::Pop3, "DIRAVID_POP3S_PORT"},
                                           TServerCase{"Imaps", TProtocol::Imap, "DIRAVID_IMAPS_PORT"}),
                         [](const auto& info) { return std::string(info.param.name); });

class StartTlsServers : public ::testing::TestWithParam<TServerCase> {};

TEST_P(StartTlsServers, SwitchToTlsWhenOffered) {
    KDV_REQUIRE_MAIL_SANDBOX();
    const TServerCase& c = GetParam();
    const TDialogue dialogue = DialogueOf(c.protocol);
    TTlsUser user(Env("DIRAVID_MAIL_HOST"), Env(c.port_variable), TUseTLS::utUseRequireTLS);
    user.client.Connect();
    TMailLineIO& io = user.client.IO();
    EXPECT_TRUE(StartsWith(io.ReadLnWait(), dialogue.greeting));
    const std::string before = Capabilities(io, dialogue);
    ASSERT_NE(before.find(c.protocol == TProtocol::Pop3 ? "STLS" : "STARTTLS"), std::string::npos) << before;
    ASSERT_TRUE(user.client.StartTlsDue());
    io.WriteLn(dialogue.start_tls);
    ASSERT_TRUE(StartsWith(io.ReadLnWait(), dialogue.start_tls_ok));
    user.client.TLSHandshake();
    EXPECT_FALSE(user.client.StartTlsDue());
    const std::string after = Capabilities(user.client.IO(), dialogue);
    EXPECT_EQ(after.find("STARTTLS"), std::string::npos) << after;
    user.client.Disconnect(false);
}

INSTANTIATE_TEST_SUITE_P(Sandbox, StartTlsServers,
                         ::testing::Values(TServerCase{"Smtp", TProtocol::Smtp, "DIRAVID_SMTP_PORT"},
                                           TServerCase{"Pop3", TProtocol::Pop3, "DIRAVID_POP3_PORT"},
                                           TServerCase{"Imap", TProtocol::Imap, "DIRAVID_IMAP_PORT"}),
                         [](const auto& info) { return std::string(info.param.name); });

// Servers that do not offer STARTTLS: "require" refuses to go on, "explicit"
// goes on unencrypted.
struct TNotOfferedCase {
    const char* name;
    TProtocol protocol;
    const char* host_variable;
    const char* port_variable;
    TUseTLS mode;
};

class StartTlsNotOffered : public ::testing::TestWithParam<TNotOfferedCase> {};

TEST_P(StartTlsNotOffered, RequireFailsExplicitGoesOn) {
    KDV_REQUIRE_MAIL_SANDBOX();
    const TNotOfferedCase& c = GetParam();
    const TDialogue dialogue = DialogueOf(c.protocol);
    TTlsUser user(Env(c.host_variable), Env(c.port_variable), c.mode);
    user.client.Connect();
    TMailLineIO& io = user.client.IO();
    EXPECT_TRUE(StartsWith(io.ReadLnWait(), dialogue.greeting));
    const std::string capabilities = Capabilities(io, dialogue);
    ASSERT_EQ(capabilities.find(c.protocol == TProtocol::Pop3 ? "STLS" : "STARTTLS"), std::string::npos)
        << capabilities;
    ASSERT_TRUE(user.client.StartTlsDue());
    if (c.mode == TUseTLS::utUseRequireTLS) {
        const EDiraError error = ExpectRaises([&] { user.client.ProcessTLSNotAvailable(); });
        EXPECT_STREQ(error.what(), "SSL ist auf diesem Server nicht verfügbar.");
        EXPECT_FALSE(user.client.Connected());
    } else {
        user.client.ProcessTLSNotAvailable();
        EXPECT_TRUE(user.client.Connected());
        EXPECT_FALSE(Capabilities(io, dialogue).empty());
        user.client.Disconnect(false);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sandbox, StartTlsNotOffered,
    ::testing::Values(TNotOfferedCase{"SmtpRequire", TProtocol::Smtp, "DIRAVID_MAIL_HOST", "DIRAVID_SMTP_NOTLS_PORT",
                                      TUseTLS::utUseRequireTLS},
                      TNotOfferedCase{"SmtpExplicit", TProtocol::Smtp, "DIRAVID_MAIL_HOST", "DIRAVID_SMTP_NOTLS_PORT",
                                      TUseTLS::utUseExplicitTLS},
                      TNotOfferedCase{"ImapRequire", TProtocol::Imap, "DIRAVID_MAIL_HOST_NOTLS", "DIRAVID_IMAP_PORT",
                                      TUseTLS::utUseRequireTLS},
                      TNotOfferedCase{"ImapExplicit", TProtocol::Imap, "DIRAVID_MAIL_HOST_NOTLS",
                                      "DIRAVID_IMAP_PORT", TUseTLS::utUseExplicitTLS},
                      TNotOfferedCase{"Pop3Require", TProtocol::Pop3, "DIRAVID_MAIL_HOST_NOTLS", "DIRAVID_POP3_PORT",
                                      TUseTLS::utUseRequireTLS}),
    [](const auto& info) { return std::string(info.param.name); });

// A server whose TLS stops at 1.1: the POP3 set still connects, the SMTP and
// IMAP set refuse.
struct TOldServerCase {
    const char* name;
    bool pop3_versions;
    bool accepted;
};

class OldTlsServer : public ::testing::TestWithParam<TOldServerCase> {};

TEST_P(OldTlsServer, OnlyThePop3SetConnects) {
    KDV_REQUIRE_MAIL_SANDBOX();
    if (Env("DIRAVID_SMTP_TLS10_PORT").empty()) GTEST_SKIP() << "the sandbox has no TLS 1.0 listener here";
    const TOldServerCase& c = GetParam();
    const TDialogue dialogue = DialogueOf(TProtocol::Smtp);
    TTlsUser user(Env("DIRAVID_MAIL_HOST"), Env("DIRAVID_SMTP_TLS10_PORT"), TUseTLS::utUseExplicitTLS,
                  c.pop3_versions);
    user.client.Connect();
    TMailLineIO& io = user.client.IO();
    EXPECT_TRUE(StartsWith(io.ReadLnWait(), dialogue.greeting));
    Capabilities(io, dialogue);
    io.WriteLn("STARTTLS");
    ASSERT_TRUE(StartsWith(io.ReadLnWait(), "220"));
    if (c.accepted) {
        user.client.TLSHandshake();
        EXPECT_FALSE(Capabilities(user.client.IO(), dialogue).empty());
        user.client.Disconnect(false);
    } else {
        const EDiraError error = ExpectRaises([&] { user.client.TLSHandshake(); });
        EXPECT_EQ(std::string(error.what()).rfind("SSL-Aushandlung fehlgeschlagen.\r\n", 0), 0u) << error.what();
        EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTls);
        EXPECT_FALSE(user.client.Connected());
    }
}

INSTANTIATE_TEST_SUITE_P(Sandbox, OldTlsServer,
                         ::testing::Values(TOldServerCase{"Pop3SetAccepts", true, true},
                                           TOldServerCase{"SmtpImapSetRefuses", false, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// The sandbox's self-signed certificate: accepted unchecked, refused when
// checked against the system's store, accepted when checked against itself.
struct TCheckCase {
    const char* name;
    bool check;
    bool trust_sandbox_cert;
    const char* host;  // null: the sandbox host
    bool accepted;
};

class SandboxCertificate : public ::testing::TestWithParam<TCheckCase> {};

TEST_P(SandboxCertificate, CheckedAsConfigured) {
    KDV_REQUIRE_MAIL_SANDBOX();
    const TCheckCase& c = GetParam();
    TTlsUser user(c.host != nullptr ? c.host : Env("DIRAVID_MAIL_HOST"), Env("DIRAVID_IMAPS_PORT"),
                  TUseTLS::utUseImplicitTLS);
    if (c.check) user.tls.SSLOptions.VerifyMode = {TMailSSLVerifyModeFlag::sslvrfPeer};
    if (c.trust_sandbox_cert) user.tls.SSLOptions.RootCertFile = Env("DIRAVID_MAIL_CERT");
    if (c.accepted) {
        user.client.Connect();
        EXPECT_TRUE(StartsWith(user.client.IO().ReadLnWait(), "* OK"));
        user.client.Disconnect(false);
    } else {
        const EDiraError error = ExpectRaises([&] { user.client.Connect(); });
        EXPECT_NE(std::string(error.what()).find("self-signed certificate"), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Sandbox, SandboxCertificate,
                         ::testing::Values(TCheckCase{"Unchecked", false, false, nullptr, true},
                                           TCheckCase{"CheckedWithoutTrust", true, false, nullptr, false},
                                           TCheckCase{"CheckedTrustedByAddress", true, true, nullptr, true},
                                           TCheckCase{"CheckedTrustedByName", true, true, "localhost", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
