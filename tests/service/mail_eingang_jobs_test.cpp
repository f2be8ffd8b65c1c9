// The IMAP client as the service sets it up from [IMAP] and [StartTLS]: the
// TLS mode and port each combination gives, the one that cannot work, and
// the level-5 line when the login could go out unencrypted.
#include <fstream>
#include <iterator>
#include <memory>

#include <gtest/gtest.h>

#include "clients/mail_imap4.h"
#include "log/log_file.h"
#include "service/mail_eingang_jobs.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

struct TSetupCase {
    const char* name;
    int port;
    bool ssl;
    bool starttls;
    TUseTLS mode;
    int expected_port;
    bool fails;
    const char* warning;  // the level-5 line, empty: none
};

class ImapSetup : public ::testing::TestWithParam<TSetupCase> {};

TEST_P(ImapSetup, ModeAndPort) {
    const TSetupCase& c = GetParam();
    TTempDir home{"diravid-imap-setup"};
    Tdiravid module(home.Path());
    module.LogFileSys = std::make_unique<TLogFile>(home.Path() / "KorvaneDiraVid.log", 9, TLogRotation{});
    TMailEingangJobs jobs(module);
    TImapStartSettings s;
    s.Host = "mail.example.org";
    s.Port = c.port;
    s.SSL = c.ssl;
    s.StartTLS = c.starttls;
    if (c.fails) {
        EXPECT_THROW(jobs.ConfigureIMAP(s), EDiraError);
        return;
    }
    jobs.ConfigureIMAP(s);
    EXPECT_EQ(jobs.IMAP().UseTLS(), c.mode);
    EXPECT_EQ(jobs.IMAP().Port, c.expected_port);
    EXPECT_EQ(jobs.IMAP().Host, "mail.example.org");
    module.LogFileSys.reset();
    const std::string log = ReadLogText(home.Path() / "KorvaneDiraVid.log");
    if (*c.warning == '\0') {
        EXPECT_EQ(log.find("unverschlüsselt"), std::string::npos) << log;
    } else {
        EXPECT_NE(log.find(std::string("Hinweis   | ") + c.warning), std::string::npos) << log;
        EXPECT_EQ(log.find("unverschlüsselt"), log.rfind("unverschlüsselt")) << "one line only\n" << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ImapSetup,
    ::testing::Values(
        TSetupCase{"PlainDefault", 143, true, false, TUseTLS::utNoTLSSupport, 143, false,
                   "IMAP: Benutzername und Passwort gehen unverschlüsselt an mail.example.org:143."},
        TSetupCase{"Port993IsImplicitTls", 993, true, false, TUseTLS::utUseImplicitTLS, 993, false, ""},
        TSetupCase{"StartTlsMovesFrom993To143", 993, true, true, TUseTLS::utUseExplicitTLS, 143, false,
                   "IMAP: Benutzername und Passwort gehen unverschlüsselt, wenn der Server kein STARTTLS anbietet, an "
                   "mail.example.org:143."},
        TSetupCase{"StartTlsOwnPort", 1143, true, true, TUseTLS::utUseExplicitTLS, 1143, false,
                   "IMAP: Benutzername und Passwort gehen unverschlüsselt, wenn der Server kein STARTTLS anbietet, an "
                   "mail.example.org:1143."},
        TSetupCase{"NoTransportOn993StaysPlain", 993, false, false, TUseTLS::utNoTLSSupport, 993, false,
                   "IMAP: Benutzername und Passwort gehen unverschlüsselt an mail.example.org:993."},
        TSetupCase{"StartTlsWithoutTransport", 143, false, true, TUseTLS::utNoTLSSupport, 143, true, ""}),
    [](const ::testing::TestParamInfo<TSetupCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
