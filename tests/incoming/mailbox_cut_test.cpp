// A real session broken at every point of a pass: a proxy in front of the
// sandbox's Dovecot cuts the first connection after a given number of bytes
// from the server, then a second pass runs whole. Every mail is filed
// exactly once and the mailbox ends empty, whatever the point of the cut.
#include <gtest/gtest.h>

#include <cstdlib>

#include "clients/mail_imap4.h"
#include "incoming/incoming_test_fixture.h"
#include "incoming/mailbox_passes.h"
#include "support/cut_proxy.h"
#include "support/mail_sandbox.h"

namespace kdv::incoming_test {
namespace {

using ::kdv::testing::Env;

class MailboxCut : public IncomingDbTest, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        KDV_REQUIRE_MAIL_SANDBOX();
        IncomingDbTest::SetUp();
    }

    // A fresh mailbox user holding the two mails.
    void Fill(const std::string& user, const std::vector<std::string>& subjects) {
        const std::string command = Env("DIRAVID_MAIL_SCRIPT") + " user " + Env("DIRAVID_MAIL_SANDBOX") + " " + user +
                                    " pw-" + user + " >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        TMailIMAP4 imap;
        imap.Host = Env("DIRAVID_MAIL_HOST");
        imap.Port = static_cast<std::uint16_t>(std::stoi(Env("DIRAVID_IMAP_PORT")));
        imap.Username = user;
        imap.Password = "pw-" + user;
        imap.ReadTimeout = 10000;
        imap.Connect(true);
        ASSERT_TRUE(imap.SelectMailBox("INBOX"));
        for (std::uint32_t i = imap.MailBox.TotalMsgs; i > 0; --i) {
            std::string uid;
            if (imap.GetUID(i, uid)) imap.UIDDeleteMsg(uid);
        }
        imap.ExpungeMailBox();
        for (const std::string& subject : subjects) {
            const std::string mail = PlainMail("hans@example.org", subject, "Text");
            TMailLineIO& io = imap.IO();
            io.WriteLn("A1 APPEND INBOX {" + std::to_string(mail.size()) + "}");
            io.ReadLn();
            io.Write(mail);
            io.WriteLn("");
            while (io.ReadLn().rfind("A1 ", 0) != 0) {
            }
        }
        imap.Disconnect();
    }

    std::uint32_t Left(const std::string& user) {
        TMailIMAP4 imap;
        imap.Host = Env("DIRAVID_MAIL_HOST");
        imap.Port = static_cast<std::uint16_t>(std::stoi(Env("DIRAVID_IMAP_PORT")));
        imap.Username = user;
        imap.Password = "pw-" + user;
        imap.ReadTimeout = 10000;
        imap.Connect(true);
        imap.SelectMailBox("INBOX");
        const std::uint32_t left = imap.MailBox.TotalMsgs;
        imap.Disconnect();
        return left;
    }

    std::size_t TimesFiled(const std::string& subject) {
        return Select("SELECT ID FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' AND INHALT LIKE '" + subject + "\r%'")
            .size();
    }
};

TEST_P(MailboxCut, EveryMailFiledOnceWhereverTheSessionBreaks) {
    const bool pop3 = std::string(GetParam()) == "pop3";
    const std::string user = std::string("cut-") + GetParam();
    const std::uint16_t port =
        static_cast<std::uint16_t>(std::stoi(Env(pop3 ? "DIRAVID_POP3_PORT" : "DIRAVID_IMAP_PORT")));
    Ini.WriteString("Verbindung", "Zeitlimit", "5");
    for (std::size_t cut = 10; cut < 2600; cut += 53) {
        SCOPED_TRACE("cut after " + std::to_string(cut) + " bytes");
        const std::vector<std::string> subjects{"Eins-" + std::to_string(cut), "Zwei-" + std::to_string(cut)};
        Fill(user, subjects);
        testing::TCutProxy proxy(Env("DIRAVID_MAIL_HOST"), port, cut);
        if (pop3) {
            Ini.WriteString("POP3", "Host", "127.0.0.1");
            Ini.WriteString("POP3", "Port", std::to_string(proxy.Port()));
            Ini.WriteString("POP3", "Username", user);
            Ini.WriteString("POP3", "Passwort", "pw-" + user);
            CheckPOP3Postfach(Ctx);
            CheckPOP3Postfach(Ctx);
        } else {
            TMailIMAP4 imap;
            imap.Host = "127.0.0.1";
            imap.Port = proxy.Port();
            imap.Username = user;
            imap.Password = "pw-" + user;
            imap.ReadTimeout = 5000;
            CheckIMAPPostfach(Ctx, imap);
            CheckIMAPPostfach(Ctx, imap);
            imap.Disconnect();
        }
        for (const std::string& subject : subjects) EXPECT_EQ(TimesFiled(subject), 1u) << subject << "\n" << LogText();
        EXPECT_EQ(Left(user), 0u) << LogText();
        if (!proxy.Cut()) break;  // the whole pass fitted below the cut: every point was tried
    }
}

INSTANTIATE_TEST_SUITE_P(Protocols, MailboxCut, ::testing::Values("pop3", "imap"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

}  // namespace
}  // namespace kdv::incoming_test
