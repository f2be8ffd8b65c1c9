// TLS modes, the ports that follow them and the TLS option setters.
#include <gtest/gtest.h>

#include "net/mail_ssl_io_handler.h"
#include "net/mail_tls_client.h"
#include "net/net_test_util.h"
#include "support/scripted_peer.h"

namespace kdv::testing {
namespace {

using enum TUseTLS;

struct TPortCase {
    const char* name;
    std::uint16_t regular, implicit_tls, explicit_tls;  // the protocol's ports
    std::uint16_t port_before;
    TUseTLS from, to;
    std::uint16_t port_after;
};

class PortRules : public ::testing::TestWithParam<TPortCase> {};

TEST_P(PortRules, PortFollowsTheMode) {
    const TPortCase& c = GetParam();
    TTestClient client(c.regular, c.implicit_tls, c.explicit_tls);
    TMailSSLIOHandlerSocketOpenSSL tls;
    client.SetIOHandler(&tls);
    client.SetUseTLS(c.from);
    client.Port = c.port_before;
    client.SetUseTLS(c.to);
    EXPECT_EQ(client.Port, c.port_after);
    EXPECT_EQ(client.UseTLS(), c.to);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, PortRules,
    ::testing::Values(
        // POP3 sets its port first: 110 becomes 995, any other port stays.
        TPortCase{"Pop3RegularToImplicit", 110, 995, 110, 110, utNoTLSSupport, utUseImplicitTLS, 995},
        TPortCase{"Pop3ImplicitPortStays", 110, 995, 110, 995, utNoTLSSupport, utUseImplicitTLS, 995},
        TPortCase{"Pop3OwnPortStays", 110, 995, 110, 2110, utNoTLSSupport, utUseImplicitTLS, 2110},
        TPortCase{"Pop3ImplicitBackToPlain", 110, 995, 110, 995, utUseImplicitTLS, utNoTLSSupport, 110},
        // IMAP: 993 becomes 143 when STARTTLS is configured.
        TPortCase{"ImapImplicitToExplicit", 143, 993, 143, 993, utNoTLSSupport, utUseExplicitTLS, 143},
        TPortCase{"ImapRegularToExplicitStays", 143, 993, 143, 143, utNoTLSSupport, utUseExplicitTLS, 143},
        // SMTP has a port of its own for each mode.
        TPortCase{"SmtpRegularToImplicit", 25, 465, 587, 25, utNoTLSSupport, utUseImplicitTLS, 465},
        TPortCase{"SmtpExplicitToImplicit", 25, 465, 587, 587, utUseExplicitTLS, utUseImplicitTLS, 465},
        TPortCase{"SmtpRegularToExplicit", 25, 465, 587, 25, utNoTLSSupport, utUseExplicitTLS, 587},
        TPortCase{"SmtpImplicitToExplicit", 25, 465, 587, 465, utUseImplicitTLS, utUseExplicitTLS, 587},
        TPortCase{"SmtpExplicitToRequire", 25, 465, 587, 587, utUseExplicitTLS, utUseRequireTLS, 25},
        TPortCase{"SmtpImplicitToNone", 25, 465, 587, 465, utUseImplicitTLS, utNoTLSSupport, 25},
        TPortCase{"SmtpOwnPortStaysOnRequire", 25, 465, 587, 2525, utNoTLSSupport, utUseRequireTLS, 2525},
        TPortCase{"SameModeKeepsPort", 25, 465, 587, 25, utUseImplicitTLS, utUseImplicitTLS, 25}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UseTLS, NeedsATlsTransport) {
    TTestClient client;
    const EDiraError error = ExpectRaises([&] { client.SetUseTLS(utUseImplicitTLS); });
    EXPECT_STREQ(error.what(), "SSL IOHandler ist für diese Einstellung erforderlich");
    EXPECT_EQ(client.UseTLS(), utNoTLSSupport);
    client.SetUseTLS(utNoTLSSupport);  // always allowed
}

TEST(UseTLS, PlainTransportResetsTheMode) {
    TTestClient client;
    TMailSSLIOHandlerSocketOpenSSL tls;
    client.SetIOHandler(&tls);
    client.SetUseTLS(utUseExplicitTLS);
    TMailIOHandler plain;
    client.SetIOHandler(&plain);
    EXPECT_EQ(client.UseTLS(), utNoTLSSupport);
}

TEST(UseTLS, RefusedWhileConnected) {
    TScriptedPeer peer({Stall(std::chrono::seconds(5))});
    TTestClient client;
    TMailSSLIOHandlerSocketOpenSSL tls;
    client.SetIOHandler(&tls);
    client.Port = peer.Port();
    client.Connect("127.0.0.1");
    const EDiraError error = ExpectRaises([&] { client.SetUseTLS(utUseExplicitTLS); });
    EXPECT_STREQ(error.what(), "Dieser Wert kann nicht gesetzt werden, während der Client verbunden ist.");
    client.Disconnect(false);
    client.SetUseTLS(utUseExplicitTLS);
}

struct TVersionCase {
    const char* name;
    std::function<void(TMailSSLOptions&)> set;
    TMailSSLVersion method;
    TMailSSLVersions versions;
};

class SslOptionSetters : public ::testing::TestWithParam<TVersionCase> {};

TEST_P(SslOptionSetters, MethodAndVersionsAgree) {
    TMailSSLOptions options;
    GetParam().set(options);
    EXPECT_EQ(options.Method(), GetParam().method);
    EXPECT_EQ(options.SSLVersions(), GetParam().versions);
}

using enum TMailSSLVersion;
const TMailSSLVersions kEvery{sslvSSLv2, sslvSSLv3, sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2};

INSTANTIATE_TEST_SUITE_P(
    Table, SslOptionSetters,
    ::testing::Values(
        TVersionCase{"Defaults", [](TMailSSLOptions&) {}, sslvTLSv1, {sslvTLSv1}},
        TVersionCase{"MethodTls12", [](TMailSSLOptions& o) { o.SetMethod(sslvTLSv1_2); }, sslvTLSv1_2, {sslvTLSv1_2}},
        TVersionCase{"MethodFlexible", [](TMailSSLOptions& o) { o.SetMethod(sslvSSLv23); }, sslvSSLv23, kEvery},
        TVersionCase{"OneVersionSetsMethod", [](TMailSSLOptions& o) { o.SetSSLVersions({sslvTLSv1_2}); },
                     sslvTLSv1_2, {sslvTLSv1_2}},
        TVersionCase{"Pop3Set",
                     [](TMailSSLOptions& o) { o.SetSSLVersions({sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2}); },
                     sslvSSLv23, {sslvTLSv1, sslvTLSv1_1, sslvTLSv1_2}},
        TVersionCase{"FlexibleDroppedFromSet", [](TMailSSLOptions& o) { o.SetSSLVersions({sslvSSLv23, sslvTLSv1}); },
                     sslvSSLv23, {sslvTLSv1}},
        TVersionCase{"EmptySetAllowsEvery", [](TMailSSLOptions& o) { o.SetSSLVersions({}); }, sslvSSLv23, kEvery}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
