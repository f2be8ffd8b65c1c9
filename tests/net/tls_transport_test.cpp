// The TLS transport against a scripted peer: implicit TLS and STARTTLS, the
// version sets of the three protocols, server name indication, and the
// opt-in certificate check.
#include <gtest/gtest.h>

#include "net/mail_ssl_io_handler.h"
#include "net/mail_tls_client.h"
#include "net/net_test_util.h"
#include "support/scripted_peer.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;
using enum TMailSSLVersion;

// The version sets the three users configure.
enum class TProtocolSet { Smtp, Imap, Pop3 };

void Configure(TMailSSLIOHandlerSocketOpenSSL& tls, TProtocolSet set) {
    if (set == TProtocolSet::Pop3) {
        tls.SSLOptions.SetSSLVersions({sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2});
    } else {
        tls.SSLOptions.SetMethod(sslvTLSv1_2);
    }
    tls.SSLOptions.Mode = TMailSSLMode::sslmClient;
}

// A TLS-capable client bound to a scripted peer.
struct TTlsClient {
    TMailSSLIOHandlerSocketOpenSSL tls;
    TTestClient client;
    TTlsClient(const TScriptedPeer& peer, TUseTLS mode, TProtocolSet set = TProtocolSet::Smtp,
               const std::string& host = "127.0.0.1") {
        Configure(tls, set);
        client.SetIOHandler(&tls);
        client.SetUseTLS(mode);
        client.Host = host;
        client.Port = peer.Port();
        client.ReadTimeout = 3000;
    }
};

TEST(ImplicitTls, DialogueRunsEncrypted) {
    TScriptedPeer peer({StartTls(), Send("+OK verschlüsselt"), Expect("USER anna"), Send("+OK")});
    {
        TTlsClient c(peer, TUseTLS::utUseImplicitTLS, TProtocolSet::Pop3);
        c.client.Connect();
        EXPECT_FALSE(c.tls.PassThrough());
        EXPECT_EQ(c.client.IO().ReadLn(), "+OK verschl??sselt");
        c.client.IO().WriteLn("USER anna");
        EXPECT_EQ(c.client.IO().ReadLn(), "+OK");
    }
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"USER anna"}));
}

TEST(ExplicitTls, StartsUnencryptedAndSwitchesOnRequest) {
    TScriptedPeer peer({Send("220 bereit"), Expect("STARTTLS"), Send("220 los"), StartTls(), Expect("EHLO x"),
                        Send("250 ok")});
    {
        TTlsClient c(peer, TUseTLS::utUseExplicitTLS);
        c.client.Connect();
        EXPECT_TRUE(c.tls.PassThrough());
        EXPECT_TRUE(c.client.StartTlsDue());
        EXPECT_EQ(c.client.IO().ReadLn(), "220 bereit");
        c.client.IO().WriteLn("STARTTLS");
        EXPECT_EQ(c.client.IO().ReadLn(), "220 los");
        c.client.TLSHandshake();
        EXPECT_FALSE(c.client.StartTlsDue());
        c.client.IO().WriteLn("EHLO x");
        EXPECT_EQ(c.client.IO().ReadLn(), "250 ok");
    }
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"STARTTLS", "EHLO x"}));
}

// A TLS transport on a client that wants no TLS carries everything
// unencrypted; against a port that expects TLS at once nothing readable comes.
TEST(ExplicitTls, NoTlsModeStaysUnencrypted) {
    TScriptedPeer peer({Send("* OK"), Expect("C1 CAPABILITY")});
    {
        TMailSSLIOHandlerSocketOpenSSL tls;
        TTestClient client(143, 993, 143);
        client.SetIOHandler(&tls);
        client.Host = "127.0.0.1";
        client.Port = peer.Port();
        client.Connect();
        EXPECT_FALSE(client.StartTlsDue());
        EXPECT_EQ(client.IO().ReadLn(), "* OK");
        client.IO().WriteLn("C1 CAPABILITY");
    }
    EXPECT_EQ(peer.Failures(), "");
}

// What the layer does when the server does not offer STARTTLS, or refuses it.
struct TNotOfferedCase {
    const char* name;
    TUseTLS mode;
    bool refused;         // the server answered the command with a refusal
    const char* error;    // null: the dialogue goes on unencrypted
    std::vector<std::string> transcript;
};

class StartTlsNotDone : public ::testing::TestWithParam<TNotOfferedCase> {};

TEST_P(StartTlsNotDone, FailsOrGoesOn) {
    const TNotOfferedCase& c = GetParam();
    TScriptedPeer peer({Send("220 ohne TLS")});
    {
        TTlsClient client(peer, c.mode);
        client.client.Connect();
        client.client.IO().ReadLn();
        if (c.error == nullptr) {
            client.client.ProcessTLSNotAvailable();
            EXPECT_TRUE(client.client.Connected());
            client.client.IO().WriteLn("EHLO x");
        } else {
            const EDiraError error = ExpectRaises([&] {
                if (c.refused) client.client.TLSCommandRefused();
                client.client.ProcessTLSNotAvailable();
            });
            EXPECT_STREQ(error.what(), c.error);
            EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTls);
            EXPECT_FALSE(client.client.Connected());
        }
    }
    EXPECT_EQ(peer.Transcript(), c.transcript);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartTlsNotDone,
    ::testing::Values(
        TNotOfferedCase{"RequireFails", TUseTLS::utUseRequireTLS, false, "SSL ist auf diesem Server nicht verfügbar.",
                        {"QUIT"}},
        TNotOfferedCase{"ExplicitGoesOnUnencrypted", TUseTLS::utUseExplicitTLS, false, nullptr, {"EHLO x"}},
        TNotOfferedCase{"RefusedCommandFails", TUseTLS::utUseExplicitTLS, true,
                        "Befehl zum Starten der SSL-Aushandlung fehlgeschlagen.", {"QUIT"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExplicitTls, FailedHandshakeClosesAndSaysWhy) {
    TScriptedPeer peer({Send("220 bereit"), Expect("STARTTLS"), Send("220 los"), SendGarbage(300), CloseNow()});
    TTlsClient c(peer, TUseTLS::utUseRequireTLS);
    c.client.Connect();
    c.client.IO().ReadLn();
    c.client.IO().WriteLn("STARTTLS");
    c.client.IO().ReadLn();
    peer.Transcript();  // the garbage is there before the handshake starts
    const EDiraError error = ExpectRaises([&] { c.client.TLSHandshake(); });
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("SSL-Aushandlung fehlgeschlagen.\r\nFehler beim Verbinden mit SSL.\r\n", 0), 0u)
        << message;
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTls);
    EXPECT_FALSE(c.client.Connected());
}

TEST(ImplicitTls, PeerThatClosesInTheHandshake) {
    TScriptedPeer peer({CloseNow()});
    TTlsClient c(peer, TUseTLS::utUseImplicitTLS);
    const EDiraError error = ExpectRaises([&] { c.client.Connect(); });
    EXPECT_STREQ(error.what(), "Fehler beim Verbinden mit SSL.\r\nEOF festgestellt, das gegen das Protokoll verstößt");
    EXPECT_FALSE(c.client.Connected());
}

TEST(ImplicitTls, SilentPeerTimesOut) {
    TScriptedPeer peer({Stall(5s)});
    TTlsClient c(peer, TUseTLS::utUseImplicitTLS);
    c.client.ReadTimeout = 300;
    const EDiraError error = ExpectRaises([&] { c.client.Connect(); });
    EXPECT_STREQ(error.what(), "Fehler beim Verbinden mit SSL.\r\nZeitüberschreitung beim Lesen.");
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTimeout);
}

TEST(ImplicitTls, ReadTimesOutOnTheTlsLink) {
    TScriptedPeer peer({StartTls(), Stall(5s)});
    TTlsClient c(peer, TUseTLS::utUseImplicitTLS);
    c.client.ReadTimeout = 300;
    c.client.Connect();
    const EDiraError error = ExpectRaises([&] { c.client.IO().ReadLn(); });
    EXPECT_STREQ(error.what(), "Zeitüberschreitung beim Lesen.");
}

TEST(ImplicitTls, PeerClosingTheTlsLinkEndsTheRead) {
    TScriptedPeer peer({StartTls(), Send("+OK"), CloseNow()});
    TTlsClient c(peer, TUseTLS::utUseImplicitTLS);
    c.client.Connect();
    EXPECT_EQ(c.client.IO().ReadLn(), "+OK");
    const EDiraError error = ExpectRaises([&] { c.client.IO().ReadLn(); });
    EXPECT_STREQ(error.what(), "Die Verbindung wurde erfolgreich geschlossen.");
    EXPECT_FALSE(c.client.Connected());
}

TEST(ImplicitTls, LargeTransferBothWays) {
    const std::string big(3 * 1024 * 1024 + 17, 'm');
    TScriptedPeer peer({StartTls(), Send(big), Expect(big)});
    {
        TTlsClient c(peer, TUseTLS::utUseImplicitTLS);
        c.client.Connect();
        std::string got;
        c.client.IO().ReadBytes(big.size() + 2, got);
        EXPECT_EQ(got, big + "\r\n");
        c.client.IO().WriteLn(big);
    }
    EXPECT_EQ(peer.Failures(), "");
}

// ---- versions ---------------------------------------------------------------

struct TVersionCase {
    const char* name;
    TProtocolSet set;
    TPeerTlsVersions peer;
    bool accepted;
};

class VersionSets : public ::testing::TestWithParam<TVersionCase> {};

TEST_P(VersionSets, AcceptOrRefuseThePeer) {
    const TVersionCase& c = GetParam();
    if (c.peer == TPeerTlsVersions::Tls10Only && !PeerCanServeTls10()) {
        GTEST_SKIP() << "this TLS library cannot serve TLS 1.0";
    }
    TScriptedPeer peer({StartTls(TPeerCertificate::SelfSigned, c.peer), Send("+OK")});
    TTlsClient client(peer, TUseTLS::utUseImplicitTLS, c.set);
    if (c.accepted) {
        client.client.Connect();
        EXPECT_EQ(client.client.IO().ReadLn(), "+OK");
    } else {
        const EDiraError error = ExpectRaises([&] { client.client.Connect(); });
        EXPECT_EQ(std::string(error.what()).rfind("Fehler beim Verbinden mit SSL.\r\n", 0), 0u) << error.what();
        EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTls);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, VersionSets,
    ::testing::Values(TVersionCase{"SmtpTls12", TProtocolSet::Smtp, TPeerTlsVersions::Tls12AndUp, true},
                      TVersionCase{"SmtpTls13Only", TProtocolSet::Smtp, TPeerTlsVersions::Tls13Only, true},
                      TVersionCase{"SmtpRefusesTls10", TProtocolSet::Smtp, TPeerTlsVersions::Tls10Only, false},
                      TVersionCase{"ImapTls13Only", TProtocolSet::Imap, TPeerTlsVersions::Tls13Only, true},
                      TVersionCase{"ImapRefusesTls10", TProtocolSet::Imap, TPeerTlsVersions::Tls10Only, false},
                      TVersionCase{"Pop3Tls13Only", TProtocolSet::Pop3, TPeerTlsVersions::Tls13Only, true},
                      TVersionCase{"Pop3AcceptsTls10", TProtocolSet::Pop3, TPeerTlsVersions::Tls10Only, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VersionSets, Pop3SetReallyNegotiatesTls10) {
    if (!PeerCanServeTls10()) GTEST_SKIP() << "this TLS library cannot serve TLS 1.0";
    TScriptedPeer peer({StartTls(TPeerCertificate::SelfSigned, TPeerTlsVersions::Tls10Only)});
    {
        TTlsClient client(peer, TUseTLS::utUseImplicitTLS, TProtocolSet::Pop3);
        client.client.Connect();
    }
    EXPECT_EQ(peer.TlsVersion(), "TLSv1");
}

// ---- server name indication -------------------------------------------------------

TEST(ServerNameIndication, OnlyForHostNames) {
    TScriptedPeer by_name({StartTls()});
    TScriptedPeer by_address({StartTls()});
    {
        TTlsClient a(by_name, TUseTLS::utUseImplicitTLS, TProtocolSet::Smtp, "localhost");
        a.client.Connect();
        TTlsClient b(by_address, TUseTLS::utUseImplicitTLS, TProtocolSet::Smtp, "127.0.0.1");
        b.client.Connect();
    }
    EXPECT_EQ(by_name.ServerName(), "localhost");
    EXPECT_EQ(by_address.ServerName(), "");
}

// ---- certificate check ---------------------------------------------------------

enum class TTrust { SystemStore, TestCa, SelfSignedCert };

struct TCertCase {
    const char* name;
    TPeerCertificate certificate;
    bool check;
    TTrust trust;
    const char* host;
    const char* refusal;  // part of the refusal's text; null: accepted
};

class CertificateCheck : public ::testing::TestWithParam<TCertCase> {};

TEST_P(CertificateCheck, AcceptsOrNamesTheReason) {
    const TCertCase& c = GetParam();
    TTempDir dir;
    std::string trust_file;
    if (c.trust == TTrust::TestCa) {
        trust_file = (dir / "ca.pem").string();
        WriteFile(trust_file, TestCaCertificatePem());
    } else if (c.trust == TTrust::SelfSignedCert) {
        trust_file = (dir / "self.pem").string();
        WriteFile(trust_file, SelfSignedCertificatePem());
    }
    TScriptedPeer peer({StartTls(c.certificate), Send("+OK")});
    TTlsClient client(peer, TUseTLS::utUseImplicitTLS, TProtocolSet::Pop3, c.host);
    if (c.check) client.tls.SSLOptions.VerifyMode = {TMailSSLVerifyModeFlag::sslvrfPeer};
    client.tls.SSLOptions.RootCertFile = trust_file;
    if (c.refusal == nullptr) {
        client.client.Connect();
        EXPECT_EQ(client.client.IO().ReadLn(), "+OK");
        return;
    }
    const EDiraError error = ExpectRaises([&] { client.client.Connect(); });
    const std::string message = error.what();
    EXPECT_EQ(message.rfind("Fehler beim Verbinden mit SSL.\r\n", 0), 0u) << message;
    EXPECT_NE(message.find(c.refusal), std::string::npos) << message;
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekTls);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CertificateCheck,
    ::testing::Values(
        TCertCase{"SelfSignedAcceptedByDefault", TPeerCertificate::SelfSigned, false, TTrust::SystemStore,
                  "127.0.0.1", nullptr},
        TCertCase{"ExpiredAcceptedByDefault", TPeerCertificate::Expired, false, TTrust::SystemStore, "127.0.0.1",
                  nullptr},
        TCertCase{"WrongHostAcceptedByDefault", TPeerCertificate::WrongHost, false, TTrust::SystemStore, "localhost",
                  nullptr},
        TCertCase{"SelfSignedRefusedWhenChecked", TPeerCertificate::SelfSigned, true, TTrust::SystemStore,
                  "127.0.0.1", "self-signed certificate"},
        TCertCase{"UnknownIssuerRefusedWhenChecked", TPeerCertificate::CaSigned, true, TTrust::SystemStore,
                  "localhost", "self-signed certificate in certificate chain"},
        TCertCase{"SelfSignedTrustedByFile", TPeerCertificate::SelfSigned, true, TTrust::SelfSignedCert,
                  "127.0.0.1", nullptr},
        TCertCase{"TestCaTrustedByName", TPeerCertificate::CaSigned, true, TTrust::TestCa, "localhost", nullptr},
        TCertCase{"TestCaTrustedByAddress", TPeerCertificate::CaSigned, true, TTrust::TestCa, "127.0.0.1", nullptr},
        TCertCase{"ExpiredRefusedEvenWhenTrusted", TPeerCertificate::Expired, true, TTrust::TestCa, "localhost",
                  "certificate has expired"},
        TCertCase{"WrongHostRefused", TPeerCertificate::WrongHost, true, TTrust::TestCa, "localhost",
                  "hostname mismatch"},
        TCertCase{"WrongAddressRefused", TPeerCertificate::WrongHost, true, TTrust::TestCa, "127.0.0.1",
                  "IP address mismatch"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CertificateCheck, MissingTrustFileSaysSo) {
    TScriptedPeer peer({StartTls()});
    TTlsClient client(peer, TUseTLS::utUseImplicitTLS);
    client.tls.SSLOptions.VerifyMode = {TMailSSLVerifyModeFlag::sslvrfPeer};
    client.tls.SSLOptions.RootCertFile = "/nonexistent/ca.pem";
    const EDiraError error = ExpectRaises([&] { client.client.Connect(); });
    EXPECT_EQ(std::string(error.what()).rfind("Stammzertifikate konnten nicht geladen werden: /nonexistent/ca.pem", 0),
              0u)
        << error.what();
}

// ---- settings shared between sessions ------------------------------------------

// One session with the check on or off against a fresh peer with `certificate`;
// returns the refusal's text ("" when accepted).
std::string OneSession(TPeerCertificate certificate, const char* host, bool check, const std::string& trust_file) {
    TScriptedPeer peer({StartTls(certificate), Send("+OK")});
    TTlsClient client(peer, TUseTLS::utUseImplicitTLS, TProtocolSet::Pop3, host);
    if (check) client.tls.SSLOptions.VerifyMode = {TMailSSLVerifyModeFlag::sslvrfPeer};
    client.tls.SSLOptions.RootCertFile = trust_file;
    try {
        client.client.Connect();
        return client.client.IO().ReadLn() == "+OK" ? "" : "no greeting";
    } catch (const EDiraError& error) {
        return error.what();
    }
}

TEST(SharedTlsSettings, SessionsInOneProcessKeepTheirOwnCheck) {
    // Sessions with the same settings share their TLS set-up; one with the
    // check must never borrow that of one without, nor the other way round.
    EXPECT_EQ(OneSession(TPeerCertificate::SelfSigned, "127.0.0.1", false, ""), "");
    EXPECT_NE(OneSession(TPeerCertificate::SelfSigned, "127.0.0.1", true, "").find("self-signed certificate"),
              std::string::npos);
    EXPECT_EQ(OneSession(TPeerCertificate::SelfSigned, "127.0.0.1", false, ""), "");
    EXPECT_NE(OneSession(TPeerCertificate::SelfSigned, "127.0.0.1", true, "").find("self-signed certificate"),
              std::string::npos);
}

TEST(SharedTlsSettings, ReplacedTrustFileIsReadAgain) {
    TTempDir dir;
    const std::string trust_file = (dir / "ca.pem").string();
    WriteFile(trust_file, SelfSignedCertificatePem());
    EXPECT_EQ(OneSession(TPeerCertificate::SelfSigned, "127.0.0.1", true, trust_file), "");
    EXPECT_NE(OneSession(TPeerCertificate::CaSigned, "localhost", true, trust_file).find("self-signed certificate"),
              std::string::npos);
    // Same name, other content: the next session trusts what the file says now.
    WriteFile(trust_file, TestCaCertificatePem());
    EXPECT_EQ(OneSession(TPeerCertificate::CaSigned, "localhost", true, trust_file), "");
    EXPECT_NE(OneSession(TPeerCertificate::SelfSigned, "127.0.0.1", true, trust_file).find("self-signed certificate"),
              std::string::npos);
}

}  // namespace
}  // namespace kdv::testing
