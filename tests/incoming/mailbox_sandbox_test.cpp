// The mailbox passes against the sandbox's Dovecot: POP3 plain and over
// implicit TLS, IMAP plain, with STARTTLS and over implicit TLS. Each case
// fills a mailbox user of its own, runs one pass and looks at what was filed
// and what is left.
#include <gtest/gtest.h>

#include <cctype>

#include "clients/mail_imap4.h"
#include "incoming/pass_helpers.h"
#include "incoming/incoming_test_fixture.h"
#include "incoming/mailbox_passes.h"
#include "net/mail_ssl_io_handler.h"
#include "platform/ascii_text.h"
#include "support/mail_sandbox.h"

namespace kdv::testing {
namespace {

enum class TArt { Pop3, Imap };

struct TSandboxCase {
    const char* name;
    TArt art;
    const char* port_variable;
    bool ssl;
    bool starttls;
};

class MailboxSandbox : public IncomingDbTest, public ::testing::WithParamInterface<TSandboxCase> {
protected:
    std::vector<std::string> Subjects() { return Filed("SUBSTRING_INDEX(INHALT, CHAR(13), 1)"); }
};

TEST_P(MailboxSandbox, FilesEveryMailAndEmptiesTheMailbox) {
    KDV_REQUIRE_MAIL_SANDBOX();
    const TSandboxCase& c = GetParam();
    const std::string prefix = ToLowerAscii(std::string("pass") + c.name);
    const TSandboxMailbox mailbox(*SharedMailSandbox(), prefix);
    const std::string& user = mailbox.Name();
    const std::string& password = mailbox.Password();
    for (const char* subject : {"Eins", "Zwei", "Drei"}) mailbox.Append(PlainMail("hans@example.org", subject, "Text"));
    mailbox.Append(PlainMail("fremd@example.net", "Fremd", "Text"));
    ASSERT_EQ(mailbox.Uids().size(), 4u);
    Ctx.Whitelist = TSenderRules({"hans@example.org"});
    const std::string host = Env("DIRAVID_MAIL_HOST");
    const std::string port = Env(c.port_variable);
    if (c.art == TArt::Pop3) {
        Ini.WriteString("POP3", "Host", host);
        Ini.WriteString("POP3", "Port", port);
        Ini.WriteString("POP3", "SSL", c.ssl ? "1" : "0");
        Ini.WriteString("POP3", "Username", user);
        Ini.WriteString("POP3", "Passwort", password);
        Pop3Pass(Ctx);
        EXPECT_EQ(Subjects(), (std::vector<std::string>{"Drei", "Zwei", "Eins"})) << LogText();
    } else {
        TMailSSLIOHandlerSocketOpenSSL tls;
        TMailIMAP4 imap;
        imap.Host = host;
        imap.Port = static_cast<std::uint16_t>(std::stoi(port));
        imap.Username = user;
        imap.Password = password;
        imap.ReadTimeout = 10000;
        if (c.ssl || c.starttls) {
            tls.SSLOptions.SetSSLVersions({TMailSSLVersion::sslvTLSv1_2});
            imap.SetIOHandler(&tls);
            imap.SetUseTLS(c.starttls ? TUseTLS::utUseRequireTLS : TUseTLS::utUseImplicitTLS);
            imap.Port = static_cast<std::uint16_t>(std::stoi(port));
        }
        CheckIMAPPostfach(Ctx, imap);
        imap.Disconnect();
        EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins", "Zwei", "Drei"})) << LogText();
    }
    EXPECT_FALSE(Ini.ReadString("Debug", "Laststartcheckmail", "").empty());
    EXPECT_FALSE(Ini.ReadString("Debug", "Lastendcheckmail", "").empty());
    EXPECT_TRUE(mailbox.Uids().empty()) << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, MailboxSandbox,
    ::testing::Values(TSandboxCase{"Pop3Plain", TArt::Pop3, "DIRAVID_POP3_PORT", false, false},
                      TSandboxCase{"Pop3ImplicitTls", TArt::Pop3, "DIRAVID_POP3S_PORT", true, false},
                      TSandboxCase{"ImapPlain", TArt::Imap, "DIRAVID_IMAP_PORT", false, false},
                      TSandboxCase{"ImapStartTls", TArt::Imap, "DIRAVID_IMAP_PORT", false, true},
                      TSandboxCase{"ImapImplicitTls", TArt::Imap, "DIRAVID_IMAPS_PORT", true, false}),
    [](const ::testing::TestParamInfo<TSandboxCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
