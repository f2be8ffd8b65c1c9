#pragma once
// A mailbox user of the sandbox's Dovecot, filled through IMAP APPEND, and
// passes of either protocol run against it, for the tests that break, kill
// or fail a pass and then look at what was filed and what is left.
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clients/mail_imap4.h"
#include "incoming/pass_helpers.h"
#include "incoming/incoming_test_fixture.h"
#include "incoming/mailbox_passes.h"
#include "support/mail_sandbox.h"
#include "support/test_shell.h"

namespace kdv::testing {

class MailboxSandboxTest : public IncomingDbTest {
protected:
    void SetUp() override {
        KDV_REQUIRE_MAIL_SANDBOX();
        IncomingDbTest::SetUp();
    }

    static std::uint16_t PortOf(const char* variable) { return static_cast<std::uint16_t>(std::stoi(Env(variable))); }

    // A logged-in plain IMAP connection of the test's own.
    static void Login(TMailIMAP4& imap, const std::string& user) {
        imap.Host = Env("DIRAVID_MAIL_HOST");
        imap.Port = PortOf("DIRAVID_IMAP_PORT");
        imap.Username = user;
        imap.Password = "pw-" + user;
        imap.ReadTimeout = 10000;
        imap.Connect(true);
    }

    // The mailbox user `user` (made when missing) holding just these mails.
    void Fill(const std::string& user, const std::vector<std::string>& subjects) {
        const std::string command = Env("DIRAVID_MAIL_SCRIPT") + " user " + Env("DIRAVID_MAIL_SANDBOX") + " " + user +
                                    " pw-" + user + " >/dev/null";
        std::string output;
        ASSERT_EQ(RunShellCommand(command, "", output), 0);
        TMailIMAP4 imap;
        Login(imap, user);
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

    // How many mails the user's INBOX holds.
    std::uint32_t Left(const std::string& user) {
        TMailIMAP4 imap;
        Login(imap, user);
        imap.SelectMailBox("INBOX");
        const std::uint32_t left = imap.MailBox.TotalMsgs;
        imap.Disconnect();
        return left;
    }

    std::size_t TimesFiled(const std::string& subject) {
        return Select("SELECT ID FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' AND INHALT LIKE '" + subject + "\r%'")
            .size();
    }

    // [POP3] set for the user at `host`:`port`.
    void Pop3Settings(const std::string& user, const std::string& host, std::uint16_t port) {
        Ini.WriteString("POP3", "Host", host);
        Ini.WriteString("POP3", "Port", std::to_string(port));
        Ini.WriteString("POP3", "Username", user);
        Ini.WriteString("POP3", "Passwort", "pw-" + user);
    }

    // One whole pass over the user's mailbox, plain, with a connection of its own.
    // `filer` stands in for the journal's; `options` as the pass takes them.
    void Pass(bool pop3, const std::string& user, TMailEmpfangContext& ctx, IMailFiler* filer = nullptr,
              const TPassOptions& options = {}) {
        TJournalFiler journal;
        if (filer == nullptr) filer = &journal;
        if (pop3) {
            Pop3Settings(user, Env("DIRAVID_MAIL_HOST"), PortOf("DIRAVID_POP3_PORT"));
            Pop3Pass(ctx, *filer, {}, options);
            return;
        }
        TMailIMAP4 imap;
        imap.Host = Env("DIRAVID_MAIL_HOST");
        imap.Port = PortOf("DIRAVID_IMAP_PORT");
        imap.Username = user;
        imap.Password = "pw-" + user;
        imap.ReadTimeout = 10000;
        ImapPass(ctx, imap, *filer, {}, options);
        imap.Disconnect();
    }
};

// The protocols as readable case names.
inline std::string ProtocolName(const ::testing::TestParamInfo<const char*>& info) { return info.param; }

}  // namespace kdv::testing
