// A message with two attachments sent to the real Postfix of the mail
// sandbox arrives in the Dovecot mailbox, and the project's reader gives back
// exactly what was sent: subject, addresses, Message-ID, text and the bytes
// of both files. Skipped without a sandbox (see test.sh).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clients/mail_smtp.h"
#include "mail/mail_message.h"
#include "mail/mime_header_encoding.h"
#include "mail/mime_reader.h"
#include "net/mail_ssl_io_handler.h"
#include "support/mail_sandbox.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace kdv::testing {
namespace {

using namespace std::chrono_literals;

using ::kdv::testing::Env;

std::string EveryByteValue() {
    std::string bytes;
    for (int round = 0; round < 4; ++round) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(round % 2 == 1 ? 255 - b : b);
    }
    return bytes;
}

std::string AttachmentBytes(TMailMessagePart& part) {
    std::ostringstream out;
    static_cast<TMailAttachment&>(part).SaveToStream(out);
    return out.str();
}

struct TSandboxCase {
    const char* name;
    const char* port_variable;
    bool implicit_tls;  // the port speaks TLS from the first byte
};

void PrintTo(const TSandboxCase& c, std::ostream* os) { *os << c.name; }

class SmtpToSandbox : public ::testing::TestWithParam<TSandboxCase> {
protected:
    void SetUp() override {
        KDV_REQUIRE_MAIL_SANDBOX();
    }

    // Fetches message UID 1 of the user's INBOX over IMAPS, waiting until
    // it has been delivered.
    std::string FetchFirstMail(const std::string& user, const std::string& password) {
        const std::string port = Env("DIRAVID_IMAPS_PORT");
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        TProgramResult fetched;
        while (std::chrono::steady_clock::now() < deadline) {
            fetched = RunProgram("/usr/bin/curl",
                                 {"-sS", "--max-time", "10", "--cacert", Env("DIRAVID_MAIL_CERT"), "--resolve",
                                  "localhost:" + port + ":" + Env("DIRAVID_MAIL_HOST"), "--user",
                                  user + ":" + password, "imaps://localhost:" + port + "/INBOX;UID=1"});
            if (fetched.ExitCode == 0 && !fetched.Stdout.empty()) return fetched.Stdout;
            std::this_thread::sleep_for(200ms);
        }
        ADD_FAILURE() << "no mail arrived: " << fetched.Stderr;
        return {};
    }
};

TEST_P(SmtpToSandbox, TwoAttachmentsArriveAsSent) {
    const TSandboxCase& c = GetParam();
    const std::string user = std::string("smtp") + (c.implicit_tls ? "s" : "") + std::to_string(::getpid());
    const std::string password = "Pässwort:" + std::to_string(::getpid());
    const TProgramResult created =
        RunProgram(Env("DIRAVID_MAIL_SCRIPT"), {"user", Env("DIRAVID_MAIL_SANDBOX"), user, password});
    ASSERT_EQ(created.ExitCode, 0) << created.Stderr;
    const std::string address = user + "@" + Env("DIRAVID_MAIL_DOMAIN");

    TTempDir dir;
    const std::string binary = EveryByteValue();
    const std::string text = "Lagekarte\r\nMit Umlauten: äöü ß\r\n";
    std::ofstream(dir / "lage.bin", std::ios::binary) << binary;
    std::ofstream(dir / "Bericht März.txt", std::ios::binary) << text;

    TMailMessage sent;
    sent.From().Address = address;
    sent.ReplyTo.SetEMailAddresses(address);
    sent.Recipients.SetEMailAddresses(address);
    sent.Subject = "Brand in der Lagerhalle – 5 € Schaden (#17)";
    sent.MsgId = NewMessageId("4711", address);
    sent.SetEncoding(TMailEncoding::meMIME);
    const std::vector<std::string> body{"In der Lage \"Übung\" wurde folgender Eintrag hinzugefügt:", "",
                                        ".Zeile mit Punkt", ".", "Ende  "};
    sent.MessageParts.AddText(body).SetContentType("text/plain; charset=iso-8859-1");
    sent.MessageParts.AddAttachmentFile(dir / "lage.bin");
    sent.MessageParts.AddAttachmentFile(dir / "Bericht März.txt");

    TMailSSLIOHandlerSocketOpenSSL tls;
    tls.SSLOptions.SetMethod(TMailSSLVersion::sslvTLSv1_2);
    tls.SSLOptions.Mode = TMailSSLMode::sslmClient;
    TMailSMTP smtp;
    smtp.SetIOHandler(&tls);
    smtp.SetUseTLS(TUseTLS::utUseRequireTLS);
    smtp.Port = static_cast<std::uint16_t>(std::stoi(Env(c.port_variable)));
    if (c.implicit_tls) smtp.SmtpsPort = smtp.Port;
    smtp.Host = Env("DIRAVID_MAIL_HOST");
    smtp.ReadTimeout = 10000;
    smtp.Username = user;
    smtp.Password = password;
    smtp.Connect();
    ASSERT_TRUE(smtp.Authenticate());
    const TSMTPSendResult result = smtp.Send(sent);
    EXPECT_TRUE(result.Refused.empty());
    smtp.Disconnect(false);

    const std::string mail = FetchFirstMail(user, password);
    ASSERT_FALSE(mail.empty());
    TMailMessage received;
    LoadMessageFromMemory(received, mail);
    EXPECT_EQ(received.Subject, sent.Subject);
    ASSERT_EQ(received.FromList.Count(), 1u);
    EXPECT_EQ(received.FromList[0].Address, address);
    EXPECT_EQ(received.Recipients.EMailAddresses(), address);
    EXPECT_EQ(received.MsgId, sent.MsgId);
    ASSERT_EQ(received.MessageParts.Count(), 3u);
    ASSERT_EQ(received.MessageParts[0].PartType(), TMailPartType::mptText);
    std::vector<std::string> received_body = static_cast<TMailText&>(received.MessageParts[0]).Body;
    // The line break in front of the next boundary reads as one more empty
    // line of the text; the writer puts it there, it is not part of the text.
    if (!received_body.empty() && received_body.back().empty()) received_body.pop_back();
    EXPECT_EQ(received_body, body);
    ASSERT_EQ(received.MessageParts[1].PartType(), TMailPartType::mptAttachment);
    EXPECT_EQ(received.MessageParts[1].FileName, "lage.bin");
    EXPECT_EQ(AttachmentBytes(received.MessageParts[1]), binary);
    ASSERT_EQ(received.MessageParts[2].PartType(), TMailPartType::mptAttachment);
    EXPECT_EQ(received.MessageParts[2].FileName, "Bericht März.txt");
    EXPECT_EQ(AttachmentBytes(received.MessageParts[2]), text);
}

INSTANTIATE_TEST_SUITE_P(
    Ports, SmtpToSandbox,
    ::testing::Values(TSandboxCase{"StartTlsAndAuthLogin", "DIRAVID_SMTP_PORT", false},
                      TSandboxCase{"ImplicitTlsOnTheSmtpsPort", "DIRAVID_SMTPS_PORT", true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv::testing
