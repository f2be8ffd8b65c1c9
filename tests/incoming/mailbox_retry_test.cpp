// Mails whose filing failed, against the sandbox's Dovecot for both
// protocols: a failure that may pass (the database stopped) keeps the mail
// for as long as it lasts and the mail is filed exactly once afterwards; a
// mail that fails for a reason of its own is kept in Fehler and removed
// after three passes, and only those failures are counted.
#include <filesystem>
#include <functional>
#include <optional>

#include <gtest/gtest.h>

#include "incoming/kept_mail.h"
#include "incoming/mailbox_record.h"
#include "incoming/mailbox_sandbox_fixture.h"

namespace kdv::testing {
namespace {

class MailboxRetry : public MailboxSandboxTest, public ::testing::WithParamInterface<const char*> {
protected:
    bool Pop3() const { return std::string(GetParam()) == "pop3"; }
    std::string User(const std::string& what) const { return what + "-" + GetParam(); }
    bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

    // The text of every mailbox note in the home folder.
    std::string Notes() const {
        std::string text;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(Home.Path() / kVermerkOrdner, error)) {
            text += ReadFile(entry.path());
        }
        return text;
    }

    std::vector<std::filesystem::path> KeptInFehler() const {
        std::vector<std::filesystem::path> kept;
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(Home.Path() / kFehlerOrdner, error)) {
            kept.push_back(entry.path());
        }
        return kept;
    }
};

// A filer that fails, for a reason of the mail's own or not, for the mails
// for whose subject `fails` says so, and files every other mail as the
// service does.
TStandInFiler Scheitern(bool dauerhaft, std::function<bool(const std::string& subject)> fails) {
    return TStandInFiler([=](const TMailMessage& msg) -> std::optional<TAuswertung> {
        if (!fails(msg.Subject)) return std::nullopt;
        return FilerFailure(dauerhaft);
    });
}

TEST_P(MailboxRetry, MailFailingForItsOwnReasonIsKeptAndRemovedAfterThreePasses) {
    const std::string user = User("drei");
    Fill(user, {"Kaputt", "Wackel"});
    // "Wackel" fails in the first two passes only, "Kaputt" in every one.
    int pass = 0;
    TStandInFiler beide =
        Scheitern(true, [&pass](const std::string& s) { return s == "Kaputt" || (s == "Wackel" && pass < 3); });
    for (pass = 1; pass <= 2; ++pass) {
        SCOPED_TRACE("pass " + std::to_string(pass));
        Pass(Pop3(), user, Ctx, &beide);
        EXPECT_EQ(Left(user), 2u) << LogText();
        EXPECT_TRUE(Logged("(Absender: hans@example.org, Betreff: Kaputt) bleibt im Postfach: Testfehler "
                           "(Fehlversuch " + std::to_string(pass) + " von 3)"))
            << LogText();
        EXPECT_NE(Notes().find("Fehlversuche " + std::to_string(pass) + " "), std::string::npos) << Notes();
    }
    // Each failed mail is kept while it waits, once, however often it fails.
    EXPECT_EQ(KeptInFehler().size(), 2u);

    Pass(Pop3(), user, Ctx, &beide);
    EXPECT_EQ(Left(user), 0u) << LogText();
    EXPECT_EQ(TimesFiled("Wackel"), 1u);
    EXPECT_EQ(TimesFiled("Kaputt"), 0u);
    EXPECT_TRUE(Logged("FEHLER    | Nachricht")) << LogText();
    EXPECT_TRUE(Logged("aus einem früheren Durchgang ist entfernt.")) << LogText();
    EXPECT_TRUE(Logged("(Absender: hans@example.org, Betreff: Kaputt) ist in 3 Durchgängen gescheitert (Testfehler); "
                       "aufbewahrt als "))
        << LogText();
    const auto kept = KeptInFehler();
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_NE(ReadFile(kept[0]).find("Subject: Kaputt\r\n"), std::string::npos);
    // Both left the mailbox: nothing of them stays noted.
    EXPECT_EQ(Notes().find("Fehlversuche"), std::string::npos) << Notes();
}

TEST_P(MailboxRetry, FailuresThatMayPassAreNotCounted) {
    const std::string user = User("vorueber");
    Fill(user, {"Eins"});
    bool failing = true;
    TStandInFiler filer = Scheitern(false, [&failing](const std::string&) { return failing; });
    for (int pass = 1; pass <= 4; ++pass) Pass(Pop3(), user, Ctx, &filer);
    EXPECT_EQ(Left(user), 1u) << LogText();
    EXPECT_TRUE(Logged("(Absender: hans@example.org, Betreff: Eins) bleibt im Postfach: Testfehler")) << LogText();
    EXPECT_FALSE(Logged("Fehlversuch")) << LogText();
    EXPECT_EQ(Notes().find("Fehlversuche"), std::string::npos) << Notes();
    EXPECT_EQ(KeptInFehler().size(), 1u);
    failing = false;
    Pass(Pop3(), user, Ctx, &filer);
    EXPECT_EQ(TimesFiled("Eins"), 1u);
    EXPECT_EQ(Left(user), 0u) << LogText();
    // Filed whole, its copy would only file it twice on an import.
    EXPECT_TRUE(KeptInFehler().empty());
}

// A counted mail that someone else removed from the mailbox is forgotten
// after the next whole pass.
TEST_P(MailboxRetry, CountOfAMailGoneElsewhereIsForgotten) {
    const std::string user = User("fort");
    Fill(user, {"Kaputt"});
    TStandInFiler kaputt = Scheitern(true, [](const std::string& s) { return s == "Kaputt"; });
    Pass(Pop3(), user, Ctx, &kaputt);
    EXPECT_NE(Notes().find("Fehlversuche 1 "), std::string::npos) << Notes();
    Fill(user, {"Andere"});
    Pass(Pop3(), user, Ctx);
    EXPECT_EQ(TimesFiled("Andere"), 1u);
    EXPECT_EQ(Notes().find("Fehlversuche"), std::string::npos) << Notes();
}

INSTANTIATE_TEST_SUITE_P(Protocols, MailboxRetry, ::testing::Values("pop3", "imap"), ProtocolName);

// The database server stopped during a pass: every mail stays, no failure
// is counted, and once the server is back each mail is filed exactly once.
class MailboxDatabaseStopped : public MailboxRetry {
protected:
    void SetUp() override {
        KDV_REQUIRE_MAIL_SANDBOX();
        KDV_REQUIRE_DB_SERVER();
        Server.emplace();
        OpenDatabase(&Server->Info());
    }
    std::optional<TPrivateDbServer> Server;
};

TEST_P(MailboxDatabaseStopped, MailsStayAndAreFiledOnceWhenItIsBack) {
    const std::string user = User("dbstop");
    Fill(user, {"Eins", "Zwei", "Drei"});
    // A connection that was working when the server went away.
    ASSERT_EQ(Select("SELECT COUNT(*) FROM LF_LAGEN").size(), 1u);
    Server->Stop();
    Pass(Pop3(), user, Ctx);
    Pass(Pop3(), user, Ctx);
    EXPECT_EQ(Left(user), 3u) << LogText();
    EXPECT_TRUE(Logged("(Absender: hans@example.org, Betreff: Zwei) bleibt im Postfach: ")) << LogText();
    EXPECT_EQ(Notes().find("Fehlversuche"), std::string::npos) << Notes();
    EXPECT_EQ(KeptInFehler().size(), 3u) << LogText();
    Server->Start();
    // The first query after the restart may still meet the old connection;
    // whatever it fails stays for the next pass.
    for (int pass = 0; pass < 3 && Left(user) > 0; ++pass) Pass(Pop3(), user, Ctx);
    EXPECT_EQ(Left(user), 0u) << LogText();
    for (const char* subject : {"Eins", "Zwei", "Drei"}) EXPECT_EQ(TimesFiled(subject), 1u) << subject;
    EXPECT_EQ(Notes().find("Fehlversuche"), std::string::npos) << Notes();
    // The copies kept while the database was away would file each mail a
    // second time if an operator imported them now.
    EXPECT_TRUE(KeptInFehler().empty()) << LogText();
    EXPECT_TRUE(Logged("aus einem früheren Durchgang ist entfernt.")) << LogText();
}

INSTANTIATE_TEST_SUITE_P(Protocols, MailboxDatabaseStopped, ::testing::Values("pop3", "imap"), ProtocolName);

}  // namespace
}  // namespace kdv::testing
