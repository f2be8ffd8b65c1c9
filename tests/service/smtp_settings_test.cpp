// The outgoing side's mail server as read from the settings file.
#include "service/smtp_settings.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

struct TSmtpSettingsCase {
    const char* name;
    const char* ini_text;
    TSmtpSettings expected;
};

TSmtpSettings Settings(std::string host, int port, std::string username, std::string password, bool start_tls,
                       int time_limit_ms = 60000, bool verify = false, std::string helo_name = "") {
    TSmtpSettings s;
    s.host = std::move(host);
    s.port = port;
    s.username = std::move(username);
    s.password = std::move(password);
    s.start_tls_if_offered = start_tls;
    s.time_limit_ms = time_limit_ms;
    s.certificate_check.verify = verify;
    s.helo_name = std::move(helo_name);
    return s;
}

class SmtpSettingsRead : public ::testing::TestWithParam<TSmtpSettingsCase> {};

TEST_P(SmtpSettingsRead, FromTheSettingsFile) {
    const TSmtpSettingsCase& c = GetParam();
    TTempDir dir;
    WriteFile(dir / "diravid.ini", c.ini_text);
    const TSmtpSettings read = ReadSmtpSettings(TIniFile(dir / "diravid.ini"));
    EXPECT_EQ(read.host, c.expected.host);
    EXPECT_EQ(read.port, c.expected.port);
    EXPECT_EQ(read.username, c.expected.username);
    EXPECT_EQ(read.password, c.expected.password);
    EXPECT_EQ(read.helo_name, c.expected.helo_name);
    EXPECT_EQ(read.start_tls_if_offered, c.expected.start_tls_if_offered);
    EXPECT_EQ(read.time_limit_ms, c.expected.time_limit_ms);
    EXPECT_EQ(read.certificate_check.verify, c.expected.certificate_check.verify);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SmtpSettingsRead,
    ::testing::Values(
        // No [SMTP] Port: mails go to port 10; without [StartTLS] Aktiv
        // STARTTLS is required.
        TSmtpSettingsCase{"NothingSet", "", Settings("", 10, "", "", false)},
        TSmtpSettingsCase{"EverySmtpKey",
                          "[SMTP]\nHost=mail.example\nPort=587\nUsername=anna\nPasswort=geheim\nHeloName=relay.example\n"
                          "[StartTLS]\nAktiv=1\n",
                          Settings("mail.example", 587, "anna", "geheim", true, 60000, false, "relay.example")},
        TSmtpSettingsCase{"HexadecimalPort", "[SMTP]\nPort=0x24B\n", Settings("", 587, "", "", false)},
        TSmtpSettingsCase{"PortNoNumberIsTheDefault", "[SMTP]\nPort=abc\n", Settings("", 10, "", "", false)},
        TSmtpSettingsCase{"SharedConnectionSettings", "[Verbindung]\nZeitlimit=7\n[Zertifikat]\nPruefen=1\n",
                          Settings("", 10, "", "", false, 7000, true)}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
