// A real session broken at every point of a pass: a proxy in front of the
// sandbox's Dovecot cuts the first connection after a given number of bytes
// from the server, then a second pass runs whole. Every mail is filed
// exactly once and the mailbox ends empty, whatever the point of the cut;
// likewise when the process running the pass is killed.
#ifndef _WIN32
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "incoming/pass_helpers.h"
#include "incoming/mailbox_sandbox_fixture.h"
#include "support/cut_proxy.h"
#include "support/mail_sandbox.h"

namespace kdv::testing {
namespace {

class MailboxCut : public MailboxSandboxTest, public ::testing::WithParamInterface<const char*> {};

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
        TCutProxy proxy(Env("DIRAVID_MAIL_HOST"), port, cut);
        if (pop3) {
            Pop3Settings(user, "127.0.0.1", proxy.Port());
            Pop3Pass(Ctx);
            Pop3Pass(Ctx);
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

// The service killed after a mail was filed and noted, before the server
// heard of its removal: a child process runs the pass and dies by SIGKILL
// right there. The next pass files nothing twice and empties the mailbox.
TEST_P(MailboxCut, ServiceKilledBetweenFilingAndRemoval) {
#ifdef _WIN32
    GTEST_SKIP() << "needs fork: the pass runs in a child process that is killed in the middle";
#else
    const bool pop3 = std::string(GetParam()) == "pop3";
    const std::string user = std::string("kill-") + GetParam();
    Fill(user, {"Erste", "Zweite"});
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        // A database connection of the child's own leaves the parent's alone.
        TDbConnection conn;
        for (const std::string& line : Db->ConnectionParams()) conn.Params.Add(line);
        TMailEmpfangContext ctx{Log, Ini, conn, TSenderRules({"*"}), [this] { return LFPath; }, Home.Path(), Clock};
        TPassOptions options;
        options.on_mail = [](const TMailFate&) { ::kill(::getpid(), SIGKILL); };
        Pass(pop3, user, ctx, nullptr, options);
        ::_exit(0);  // no mail was filed
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status << "\n" << LogText();
    EXPECT_EQ(TimesFiled("Erste") + TimesFiled("Zweite"), 1u);
    EXPECT_EQ(Left(user), 2u);

    Pass(pop3, user, Ctx);
    EXPECT_EQ(TimesFiled("Erste"), 1u) << LogText();
    EXPECT_EQ(TimesFiled("Zweite"), 1u) << LogText();
    EXPECT_EQ(Left(user), 0u) << LogText();
    EXPECT_NE(LogText().find("wurde schon abgelegt und wird nur noch gelöscht."), std::string::npos) << LogText();
#endif
}

INSTANTIATE_TEST_SUITE_P(Protocols, MailboxCut, ::testing::Values("pop3", "imap"), ProtocolName);

}  // namespace
}  // namespace kdv::testing
