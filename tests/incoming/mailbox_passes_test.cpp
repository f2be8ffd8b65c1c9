// The mailbox passes against a scripted server and a fixture database: the
// order of the dialogue, what is filed and removed, what stays, the note of
// filed mails that survives a broken session, and the log lines.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "clients/mail_imap4.h"
#include "incoming/incoming_test_fixture.h"
#include "incoming/kept_mail.h"
#include "incoming/mail_import.h"
#include "incoming/mailbox_passes.h"
#include "incoming/mailbox_record.h"
#include "incoming/pass_limits.h"
#include "support/scripted_peer.h"

namespace kdv::testing {
namespace {

std::string Mail(const std::string& subject, const std::string& body = "Text") {
    return PlainMail("hans@example.org", subject, body);
}

// The mail as a POP3 server sends it after "+OK": dot-stuffed, "." at the end.
std::string Pop3Data(const std::string& mail) {
    std::string out = "+OK\r\n";
    std::size_t at = 0;
    while (at < mail.size()) {
        std::size_t end = mail.find("\r\n", at);
        if (end == std::string::npos) end = mail.size();
        const std::string line = mail.substr(at, end - at);
        out += (line.rfind('.', 0) == 0 ? "." : "") + line + "\r\n";
        at = end + 2;
    }
    return out + ".\r\n";
}

std::vector<TPeerStep> Pop3Login(int count) {
    return {Send("+OK ready"), Expect("CAPA"), SendLines({"+OK", "UIDL", "."}), Expect("USER anna"), Send("+OK"),
            Expect("PASS pw"), Send("+OK"), Expect("STAT"), Send("+OK " + std::to_string(count) + " 999")};
}

// UIDL, LIST (the size as announced) and RETR of mail k.
std::vector<TPeerStep> Pop3Mail(int k, const std::string& mail, bool dele = true) {
    const std::string n = std::to_string(k);
    std::vector<TPeerStep> steps{Expect("UIDL " + n), Send("+OK " + n + " u" + n), Expect("LIST " + n),
                                 Send("+OK " + n + " " + std::to_string(mail.size())), Expect("RETR " + n),
                                 SendRaw(Pop3Data(mail))};
    if (dele) {
        steps.push_back(Expect("DELE " + std::to_string(k)));
        steps.push_back(Send("+OK"));
    }
    return steps;
}

template <typename... Parts>
std::vector<TPeerStep> Script(Parts... parts) {
    std::vector<TPeerStep> all;
    (all.insert(all.end(), parts.begin(), parts.end()), ...);
    return all;
}

class MailboxPassTest : public IncomingDbTest {
protected:
    void Pop3Settings(std::uint16_t port) {
        Ini.WriteString("POP3", "Host", "127.0.0.1");
        Ini.WriteString("POP3", "Port", std::to_string(port));
        Ini.WriteString("POP3", "Username", "anna");
        Ini.WriteString("POP3", "Passwort", "pw");
        Ctx.ConnectionTimeLimitMs = 3000;
    }

    // The same POP3 server again, at the new peer's port: the note belongs
    // to server and user, so it moves along.
    void MoveToServer(std::uint16_t old_port, std::uint16_t new_port) {
        Ini.WriteString("POP3", "Port", std::to_string(new_port));
        std::filesystem::rename(TPostfachVermerk(Home.Path(), "pop3", "127.0.0.1", old_port, "anna").Datei(),
                                TPostfachVermerk(Home.Path(), "pop3", "127.0.0.1", new_port, "anna").Datei());
    }

    std::size_t Noted(const std::string& art, std::uint16_t port) {
        return TPostfachVermerk(Home.Path(), art, "127.0.0.1", port, "anna").Eintraege().size();
    }

    bool Logged(const std::string& text) const { return LogText().find(text) != std::string::npos; }

    // The subjects of the filed journal messages (the text's first line).
    std::vector<std::string> Subjects() { return Filed("SUBSTRING_INDEX(INHALT, CHAR(13), 1)"); }

    // Per filed message "1" when its text holds `line` whole, else "0".
    std::vector<std::string> WholeLineFiled(const std::string& line) {
        return Filed("INSTR(INHALT, '" + line + "') > 0");
    }

    // The files kept in Fehler.
    std::size_t KeptInFehler() const {
        std::size_t kept = 0;
        std::error_code error;
        for (std::filesystem::directory_iterator it(Home.Path() / kFehlerOrdner, error), end; !error && it != end;
             it.increment(error)) {
            ++kept;
        }
        return kept;
    }

    // A mail of more than 1 MiB, with [Maileingang] MaxMB set to 1.
    std::string OverSizeMail() {
        Ini.WriteString("Maileingang", "MaxMB", "1");
        std::string body;
        for (int i = 0; i < 1200; ++i) body += std::string(998, 'a') + "\r\n";
        return Mail("Gross", body);
    }
};

TEST_F(MailboxPassTest, Pop3FilesHighestNumberFirstAndRemovesAtQuit) {
    TScriptedPeer peer(Script(Pop3Login(3), Pop3Mail(3, Mail("Drei")), Pop3Mail(2, Mail("Zwei")),
                              Pop3Mail(1, Mail("Eins")), std::vector<TPeerStep>{Expect("QUIT"), Send("+OK bye")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 3", "LIST 3",
                                                           "RETR 3", "DELE 3", "UIDL 2", "LIST 2", "RETR 2", "DELE 2",
                                                           "UIDL 1", "LIST 1", "RETR 1", "DELE 1", "QUIT"}));
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Drei", "Zwei", "Eins"}));
    EXPECT_EQ(Noted("pop3", peer.Port()), 0u);
    for (const char* line : {"Prüfe Mails", "3 e-Mails vorhanden.", "Lese Nachricht 3", "Lösche Nachricht 3",
                             "Nachricht gelöscht: 3", "Prüfung abgeschlossen."}) {
        EXPECT_TRUE(Logged(line)) << line;
    }
    EXPECT_EQ(Ini.ReadString("Debug", "Laststartcheckmail", ""), "29.01.2024 14:05:09");
    EXPECT_EQ(Ini.ReadString("Debug", "Lastendcheckmail", ""), "29.01.2024 14:05:09");
}

// A stop request is honoured between two mails: the mail in hand is filed
// and removed, the others stay on the server untouched.
TEST_F(MailboxPassTest, Pop3StopRequestAfterTheFirstMailLeavesTheRest) {
    TScriptedPeer peer(Script(Pop3Login(3), Pop3Mail(3, Mail("Drei")),
                              std::vector<TPeerStep>{Expect("QUIT"), Send("+OK bye")}));
    Pop3Settings(peer.Port());
    bool filed = false;
    TPostfachEingriffe eingriffe;
    eingriffe.NachAblage = [&] { filed = true; };
    CheckPOP3Postfach(Ctx, [&] { return filed; }, eingriffe);
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 3", "LIST 3",
                                                           "RETR 3", "DELE 3", "QUIT"}));
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Drei"}));
    EXPECT_EQ(Noted("pop3", peer.Port()), 0u);
    EXPECT_TRUE(Logged("Hinweis   | Abbruch angefordert: die übrigen 2 Mails bleiben für den nächsten Durchgang im "
                       "Postfach."));
}

TEST_F(MailboxPassTest, Pop3EmptyMailboxStillQuits) {
    TScriptedPeer peer(Script(Pop3Login(0), std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "QUIT"}));
    EXPECT_FALSE(Logged("e-Mails vorhanden."));
    EXPECT_TRUE(Logged("Prüfung abgeschlossen."));
}

TEST_F(MailboxPassTest, Pop3LoginRefusedIsThePassError) {
    TScriptedPeer peer({Send("+OK"), Expect("CAPA"), Send("-ERR"), Expect("USER anna"), Send("+OK"), Expect("PASS pw"),
                        Send("-ERR [AUTH] invalid password")});
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_TRUE(Logged("Fehler bei Überprüfung des POP3-Postfachs: invalid password"));
    EXPECT_EQ(Ini.ReadString("Debug", "Lastendcheckmail", ""), "");
}

// A mail whose filing failed is neither deleted nor noted, and says why.
TEST_F(MailboxPassTest, Pop3FailedFilingStays) {
    Db->Sql("DROP TABLE LF_NACHRICHTEN");
    TScriptedPeer peer(Script(Pop3Login(1), Pop3Mail(1, Mail("Eins"), false),
                              std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Transcript(),
              (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 1", "LIST 1", "RETR 1", "QUIT"}));
    EXPECT_TRUE(Logged("Nachricht 1 (Absender: hans@example.org, Betreff: Eins) bleibt im Postfach: "));
    EXPECT_EQ(Noted("pop3", peer.Port()), 0u);
}

// With no active incident (one closed, the next not yet opened) every mail
// leaves the mailbox only once it is kept for an import; a mail that cannot
// be kept stays.
TEST_F(MailboxPassTest, Pop3MailsTurnedAwayLeaveOnlyWhenKept) {
    Db->Sql("UPDATE LF_LAGEN SET AKTIV=0;");
    struct TCase {
        const char* name;
        bool folderUsable;
    };
    for (const TCase& c : {TCase{"kept", true}, TCase{"folder is a file", false}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(Home.Path() / kAbgewiesenOrdner);
        if (!c.folderUsable) WriteFile(Home.Path() / kAbgewiesenOrdner, "kein Ordner");
        TScriptedPeer peer(Script(Pop3Login(2), Pop3Mail(2, Mail("Zwei"), c.folderUsable),
                                  Pop3Mail(1, Mail("Eins"), c.folderUsable),
                                  std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
        Pop3Settings(peer.Port());
        CheckPOP3Postfach(Ctx);
        EXPECT_EQ(peer.Transcript(),
                  c.folderUsable ? (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 2", "LIST 2",
                                                             "RETR 2", "DELE 2", "UIDL 1", "LIST 1", "RETR 1", "DELE 1",
                                                             "QUIT"})
                                 : (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 2", "LIST 2",
                                                             "RETR 2", "UIDL 1", "LIST 1", "RETR 1", "QUIT"}));
        EXPECT_TRUE(Subjects().empty());
        std::vector<std::string> kept;
        std::error_code error;
        for (std::filesystem::directory_iterator it(Home.Path() / kAbgewiesenOrdner, error), end; !error && it != end;
             it.increment(error)) {
            if (it->path().extension() == ".eml") kept.push_back(ReadFile(it->path()));
        }
        std::sort(kept.begin(), kept.end());
        EXPECT_EQ(kept, c.folderUsable ? (std::vector<std::string>{Mail("Eins"), Mail("Zwei")})
                                       : std::vector<std::string>{});
        EXPECT_EQ(Logged("Nachricht 1 (Absender: hans@example.org, Betreff: Eins) bleibt im Postfach: keine Lage zum "
                         "Ablegen gefunden; die Mail kann nicht aufbewahrt werden: "),
                  !c.folderUsable);
    }
}

// Without a confirmed QUIT the server keeps every mail; the note makes the
// next pass delete the filed ones without filing them again.
TEST_F(MailboxPassTest, Pop3SessionCutBeforeQuitFilesNothingTwice) {
    std::uint16_t port = 0;
    {
        TScriptedPeer peer(Script(Pop3Login(2), Pop3Mail(2, Mail("Zwei")), Pop3Mail(1, Mail("Eins")),
                                  std::vector<TPeerStep>{Expect("QUIT"), CloseNow()}));
        Pop3Settings(peer.Port());
        port = peer.Port();
        CheckPOP3Postfach(Ctx);
        peer.Transcript();
    }
    EXPECT_EQ(Noted("pop3", port), 2u);
    EXPECT_TRUE(Logged("abgelegte Mails bleiben im Postfach"));
    // The same server again (same port, so the same note).
    // Noted mails are recognised by their UIDL before any transfer.
    TScriptedPeer again(Script(Pop3Login(2),
                               std::vector<TPeerStep>{Expect("UIDL 2"), Send("+OK 2 u2"), Expect("DELE 2"), Send("+OK"),
                                                      Expect("UIDL 1"), Send("+OK 1 u1"), Expect("DELE 1"), Send("+OK"),
                                                      Expect("QUIT"), Send("+OK")}));
    MoveToServer(port, again.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(again.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Zwei", "Eins"}));
    EXPECT_TRUE(Logged("Nachricht 2 wurde schon abgelegt und wird nur noch gelöscht."));
    EXPECT_EQ(Noted("pop3", again.Port()), 0u);
}

TEST_F(MailboxPassTest, Pop3SessionCutInsideAMailLeavesItUnfiled) {
    TScriptedPeer peer(Script(Pop3Login(2), Pop3Mail(2, Mail("Zwei")),
                              std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"), Expect("LIST 1"),
                                                     Send("+OK 1 300"), Expect("RETR 1"),
                                                     SendLines({"+OK", "From: hans@example.org", "Subject: Eins"}),
                                                     CloseMidLine("Content-Ty")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    peer.Transcript();
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Zwei"}));
    // The text of a closed connection, and that the server lost it mid-dialogue.
    EXPECT_TRUE(Logged("Nachricht 1 bleibt im Postfach: Die Verbindung wurde erfolgreich geschlossen. (Verbindung "
                       "zum POP3-Server verloren: sie wurde mitten im Dialog beendet.)"));
    // Mail 2 was filed and marked, but no QUIT came through: it stays noted.
    EXPECT_EQ(Noted("pop3", peer.Port()), 1u);
}

TEST_F(MailboxPassTest, Pop3RetrievalRefusedStays) {
    TScriptedPeer peer(Script(Pop3Login(1),
                              std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"), Expect("LIST 1"),
                                                     Send("+OK 1 300"), Expect("RETR 1"),
                                                     Send("-ERR message locked"), Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Transcript(),
              (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 1", "LIST 1", "RETR 1", "QUIT"}));
    EXPECT_TRUE(Logged("Nachricht 1 kann nicht abgerufen werden und bleibt im Postfach: message locked"));
}

// Announced over the size limit: not fetched, left in the mailbox for a
// person, reported once with its sender and subject, and passed over by
// later passes.
TEST_F(MailboxPassTest, Pop3OverSizeMailStaysInTheMailboxAndIsReportedOnce) {
    Ini.WriteString("Maileingang", "MaxMB", "1");
    std::uint16_t port = 0;
    {
        TScriptedPeer peer(Script(Pop3Login(1),
                                  std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"), Expect("LIST 1"),
                                                         Send("+OK 1 2000000"), Expect("TOP 1 0"),
                                                         SendLines({"+OK", "From: hans@example.org", "Subject: Gross",
                                                                    "", "."}),
                                                         Expect("QUIT"), Send("+OK")}));
        Pop3Settings(peer.Port());
        port = peer.Port();
        CheckPOP3Postfach(Ctx);
        EXPECT_EQ(peer.Failures(), "");
    }
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("FEHLER    | Nachricht 1 (Absender: hans@example.org, Betreff: Gross) ist 2000000 Bytes groß, "
                       "mehr als [Maileingang] MaxMB = 1 MB; sie wird nicht abgerufen und bleibt im Postfach"));
    EXPECT_EQ(KeptInFehler(), 0u);
    EXPECT_TRUE(TPostfachVermerk(Home.Path(), "pop3", "127.0.0.1", port, "anna").IsOversized("uidl:u1"));

    const std::size_t logged_before = LogText().size();
    TScriptedPeer again(Script(Pop3Login(1), std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"),
                                                                     Expect("QUIT"), Send("+OK")}));
    MoveToServer(port, again.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(again.Failures(), "");
    EXPECT_EQ(LogText().find("MaxMB", logged_before), std::string::npos);
}

// A server that announces a small mail and then sends more than MaxMB: the
// transfer is cut at the limit, the mail stays and is noted.
TEST_F(MailboxPassTest, Pop3TransferBeyondTheLimitIsCut) {
    const std::string big = OverSizeMail();
    TScriptedPeer peer(Script(Pop3Login(1), std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"),
                                                                    Expect("LIST 1"), Send("+OK 1 300"),
                                                                    Expect("RETR 1"), SendRaw(Pop3Data(big))}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    peer.Transcript();
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("FEHLER    | Nachricht 1 ist bei der Übertragung größer geworden, mehr als [Maileingang] "
                       "MaxMB = 1 MB"));
    EXPECT_TRUE(TPostfachVermerk(Home.Path(), "pop3", "127.0.0.1", peer.Port(), "anna").IsOversized("uidl:u1"));
    EXPECT_EQ(KeptInFehler(), 0u);
}

TEST_F(MailboxPassTest, Pop3LineOfTwentyThousandBytesIsFiled) {
    const std::string line(20000, 'w');
    TScriptedPeer peer(Script(Pop3Login(1), Pop3Mail(1, Mail("Lang", line)),
                              std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Lang"}));
    EXPECT_EQ(WholeLineFiled(line), (std::vector<std::string>{"1"}));
    EXPECT_TRUE(Logged("Nachricht von hans@example.org Betreff Lang wird ausgewertet."));
    EXPECT_TRUE(Logged("Nachricht gelöscht: 1"));
}

// Mails are spooled in the process's own temporary folder, never in the
// home folder an import beside the service works in, and the spool goes
// with the pass.
TEST_F(MailboxPassTest, Pop3SpoolsInTheServiceTempFolder) {
    Ctx.TempFolder = Home.Path() / "temp" / "4711";
    std::filesystem::path spooled;
    TPostfachEingriffe eingriffe;
    eingriffe.Auswerten = [&spooled](TMailEmpfangContext& ctx, TMailMessage& msg) {
        spooled = msg.RawFile;
        return AuswertenMail(ctx, msg);
    };
    TScriptedPeer peer(
        Script(Pop3Login(1), Pop3Mail(1, Mail("Eins")), std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx, {}, eingriffe);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins"}));
    EXPECT_EQ(spooled.parent_path(), Ctx.TempFolder);
    EXPECT_FALSE(std::filesystem::exists(spooled));
    EXPECT_TRUE(std::filesystem::is_empty(Ctx.TempFolder));
    for (const auto& entry : std::filesystem::directory_iterator(Home.Path())) {
        EXPECT_NE(entry.path().extension(), ".eml") << entry.path();
        EXPECT_NE(entry.path().filename(), "Eingang");
    }
}

// ---- servers that misbehave ----

// A server claiming a billion mails that it cannot deliver: the pass gives
// up after a run of failures with one line, instead of one line per mail.
TEST_F(MailboxPassTest, Pop3CountOfABillionEndsAfterARunOfFailures) {
    std::vector<TPeerStep> steps = Pop3Login(1000000000);
    for (int k = 1000000000; k > 1000000000 - kMaxConsecutiveFailures; --k) {
        const std::string n = std::to_string(k);
        for (const std::string& command : {"UIDL " + n, "LIST " + n, "RETR " + n}) {
            steps.push_back(Expect(command));
            steps.push_back(Send("-ERR no such message"));
        }
    }
    steps.push_back(Expect("QUIT"));
    steps.push_back(Send("+OK"));
    TScriptedPeer peer(steps);
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Failures(), "");
    const std::string log = LogText();
    EXPECT_TRUE(Logged("FEHLER    | 10 Mails in Folge sind gescheitert; die übrigen 999999990 Mails werden in diesem "
                       "Durchgang nicht versucht."));
    std::size_t errors = 0;
    for (std::size_t at = log.find("FEHLER"); at != std::string::npos; at = log.find("FEHLER", at + 1)) ++errors;
    EXPECT_EQ(errors, 11u);
    EXPECT_TRUE(Logged("Prüfung abgeschlossen."));
}

// A retrieval that stalls costs the time limit once: no QUIT is sent into
// the broken dialogue to wait for a second time.
TEST_F(MailboxPassTest, Pop3StalledRetrievalCostsTheTimeLimitOnce) {
    TScriptedPeer peer(Script(Pop3Login(1), std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"),
                                                                    Expect("LIST 1"), Send("+OK 1 300"),
                                                                    Expect("RETR 1"), Send("+OK"),
                                                                    Stall(std::chrono::seconds(15))}));
    Pop3Settings(peer.Port());
    const auto start = std::chrono::steady_clock::now();
    CheckPOP3Postfach(Ctx);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(4500));
    const std::vector<std::string> sent = peer.Transcript();
    EXPECT_EQ(sent.back(), "RETR 1");
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("Nachricht 1 bleibt im Postfach: Zeitüberschreitung"));
}

// A stop request ends a transfer that is still waiting, within a second,
// and the mail stays on the server.
TEST_F(MailboxPassTest, Pop3StopRequestEndsAWaitingTransfer) {
    Ctx.ConnectionTimeLimitMs = 30000;
    TScriptedPeer peer(Script(Pop3Login(1), std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"),
                                                                    Expect("LIST 1"), Send("+OK 1 300"),
                                                                    Expect("RETR 1"), Send("+OK"),
                                                                    Drip(Mail("Eins"), std::chrono::milliseconds(200))}));
    Ini.WriteString("POP3", "Host", "127.0.0.1");
    Ini.WriteString("POP3", "Port", std::to_string(peer.Port()));
    Ini.WriteString("POP3", "Username", "anna");
    Ini.WriteString("POP3", "Passwort", "pw");
    const auto start = std::chrono::steady_clock::now();
    const auto stop_at = start + std::chrono::milliseconds(700);
    CheckPOP3Postfach(Ctx, [&] { return std::chrono::steady_clock::now() >= stop_at; });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(700 + 1000));
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("Nachricht 1 bleibt im Postfach: Abbruch angefordert."));
}

// The time a pass may start new mails is bounded; what is left waits.
TEST_F(MailboxPassTest, Pop3PassOutOfTimeLeavesTheRest) {
    TScriptedPeer peer(Script(Pop3Login(2), std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    TPostfachEingriffe eingriffe;
    eingriffe.Zeitbudget = std::chrono::seconds(0);
    CheckPOP3Postfach(Ctx, {}, eingriffe);
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "QUIT"}));
    EXPECT_TRUE(Logged("Hinweis   | Der Durchgang hat seine Zeit von 0 Sekunden ausgeschöpft; die übrigen 2 Mails "
                       "bleiben für den nächsten Durchgang im Postfach."));
}

// ---- IMAP ----

std::string Literal(const std::string& head, const std::string& mail, const std::string& tail) {
    return head + " {" + std::to_string(mail.size()) + "}\r\n" + mail + tail;
}

// Greeting, login and SELECT with `exists` mails (tags C1, C2).
std::vector<TPeerStep> ImapSelected(int exists, const std::string& selectOk = "C2 OK [READ-WRITE] done") {
    return {Send("* OK [CAPABILITY IMAP4rev1] ready"), Expect("C1 LOGIN anna \"pw\""),
            Send("C1 OK [CAPABILITY IMAP4rev1] in"), Expect("C2 SELECT \"INBOX\""),
            SendLines({"* " + std::to_string(exists) + " EXISTS", "* OK [UIDVALIDITY 77] ok", selectOk})};
}

struct TListed {
    int uid;
    std::size_t size;
    std::string flags = "";
};

// The listing of the mailbox by UID, answered with `mails` (tag `tag`).
std::vector<TPeerStep> ImapList(int tag, const std::vector<TListed>& mails) {
    const std::string t = "C" + std::to_string(tag);
    std::vector<std::string> lines;
    int i = 0;
    for (const TListed& m : mails) {
        lines.push_back("* " + std::to_string(++i) + " FETCH (UID " + std::to_string(m.uid) + " FLAGS (" + m.flags +
                        ") RFC822.SIZE " + std::to_string(m.size) + ")");
    }
    lines.push_back(t + " OK");
    return {Expect(t + " UID FETCH 1:* (UID FLAGS RFC822.SIZE)"), SendLines(lines)};
}

// Mail i with UID uid, fetched by UID and stored; `tag` is the first of two tags.
std::vector<TPeerStep> ImapMail(int i, int uid, const std::string& mail, int tag, const std::string& storeReply = "OK") {
    const std::string n = std::to_string(i), u = std::to_string(uid);
    const std::string t1 = "C" + std::to_string(tag), t2 = "C" + std::to_string(tag + 1);
    return {Expect(t1 + " UID FETCH " + u + " (UID RFC822)"),
            SendRaw(Literal("* " + n + " FETCH (UID " + u + " RFC822", mail, ")\r\n" + t1 + " OK\r\n")),
            Expect(t2 + " UID STORE " + u + " +FLAGS.SILENT (\\Deleted)"), Send(t2 + " " + storeReply)};
}

class ImapPassTest : public MailboxPassTest {
protected:
    void Configure(std::uint16_t port) {
        imap.Host = "127.0.0.1";
        imap.Port = port;
        imap.Username = "anna";
        imap.Password = "pw";
        imap.ReadTimeout = 3000;
    }
    TMailIMAP4 imap;
};

TEST_F(ImapPassTest, FilesInAscendingOrderAndExpunges) {
    TScriptedPeer peer(Script(ImapSelected(2), ImapList(3, {{40, Mail("Eins").size()}, {41, Mail("Zwei").size()}}),
                              ImapMail(1, 40, Mail("Eins"), 4), ImapMail(2, 41, Mail("Zwei"), 6),
                              std::vector<TPeerStep>{Expect("C8 EXPUNGE"),
                                                     SendLines({"* 1 EXPUNGE", "* 1 EXPUNGE", "C8 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins", "Zwei"}));
    EXPECT_TRUE(Logged("Verbinde zu IMAP-Server."));
    EXPECT_TRUE(Logged("Inbox ausgewäht"));
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
    EXPECT_EQ(Ini.ReadString("Debug", "Lastendcheckmail", ""), "29.01.2024 14:05:09");
}

// As with POP3: the mail in hand is filed and expunged, the rest stay.
TEST_F(ImapPassTest, StopRequestAfterTheFirstMailLeavesTheRest) {
    TScriptedPeer peer(Script(ImapSelected(3), ImapList(3, {{40, 100}, {41, 100}, {42, 100}}),
                              ImapMail(1, 40, Mail("Eins"), 4),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    bool filed = false;
    TPostfachEingriffe eingriffe;
    eingriffe.NachAblage = [&] { filed = true; };
    CheckIMAPPostfach(Ctx, imap, [&] { return filed; }, eingriffe);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins"}));
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
    EXPECT_TRUE(Logged("Hinweis   | Abbruch angefordert: die übrigen 2 Mails bleiben für den nächsten Durchgang im "
                       "Postfach."));
}

// Listed over the size limit: not fetched, reported with the sender and
// subject from its header, left in the mailbox and noted.
TEST_F(ImapPassTest, OverSizeMailStaysInTheMailbox) {
    Ini.WriteString("Maileingang", "MaxMB", "1");
    const std::string header = "From: hans@example.org\r\nSubject: Gross\r\n\r\n";
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, 2000000}}),
                              std::vector<TPeerStep>{Expect("C4 UID FETCH 40 (BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])"),
                                                     SendRaw(Literal("* 1 FETCH (UID 40 BODY[HEADER.FIELDS (FROM SUBJECT)]",
                                                                     header, ")\r\nC4 OK\r\n")),
                                                     Expect("C5 EXPUNGE"), Send("C5 OK")}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("FEHLER    | Nachricht UID 40 (Absender: hans@example.org, Betreff: Gross) ist 2000000 Bytes "
                       "groß, mehr als [Maileingang] MaxMB = 1 MB; sie wird nicht abgerufen"));
    EXPECT_EQ(KeptInFehler(), 0u);
    EXPECT_TRUE(TPostfachVermerk(Home.Path(), "imap", "127.0.0.1", peer.Port(), "anna").IsOversized("77:40"));
}

// A literal announced larger than MaxMB (the listing said otherwise) is not
// read: the connection goes, the mail stays and is noted.
TEST_F(ImapPassTest, AnnouncedLiteralBeyondTheLimitIsNotRead) {
    Ini.WriteString("Maileingang", "MaxMB", "1");
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, 300}}),
                              std::vector<TPeerStep>{Expect("C4 UID FETCH 40 (UID RFC822)"),
                                                     Send("* 1 FETCH (UID 40 RFC822 {999999999999}"),
                                                     Flood(std::string(65536, 'x'), std::chrono::seconds(5))}));
    Configure(peer.Port());
    const auto start = std::chrono::steady_clock::now();
    CheckIMAPPostfach(Ctx, imap);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("FEHLER    | Nachricht UID 40 ist größer angekündigt als gelistet"));
    EXPECT_TRUE(TPostfachVermerk(Home.Path(), "imap", "127.0.0.1", peer.Port(), "anna").IsOversized("77:40"));
}

TEST_F(ImapPassTest, LineOfTwentyThousandBytesIsFiled) {
    const std::string line(20000, 'w');
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, Mail("Lang", line).size()}}),
                              ImapMail(1, 40, Mail("Lang", line), 4),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Lang"}));
    EXPECT_EQ(WholeLineFiled(line), (std::vector<std::string>{"1"}));
    EXPECT_TRUE(Logged("Nachricht von hans@example.org Betreff Lang wird ausgewertet."));
}

// A count of four billion in SELECT drives nothing: the pass works on the
// UIDs the server lists.
TEST_F(ImapPassTest, AnnouncedCountIsNotTrusted) {
    TScriptedPeer peer(Script(std::vector<TPeerStep>{Send("* OK [CAPABILITY IMAP4rev1] ready"),
                                                     Expect("C1 LOGIN anna \"pw\""),
                                                     Send("C1 OK [CAPABILITY IMAP4rev1] in"),
                                                     Expect("C2 SELECT \"INBOX\""),
                                                     SendLines({"* 4000000000 EXISTS", "* OK [UIDVALIDITY 77] ok",
                                                                "C2 OK [READ-WRITE] done"})},
                              ImapList(3, {{40, Mail("Eins").size()}}), ImapMail(1, 40, Mail("Eins"), 4),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins"}));
}

// Mails the server lists but will not hand out: after a run of failures the
// pass ends with one line; the mails stay.
TEST_F(ImapPassTest, RunOfRefusedFetchesEndsThePass) {
    std::vector<TListed> listed;
    std::vector<TPeerStep> fetches;
    for (int i = 0; i < 12; ++i) listed.push_back({100 + i, 300});
    for (int i = 0; i < kMaxConsecutiveFailures; ++i) {
        const std::string tag = "C" + std::to_string(4 + i);
        fetches.push_back(Expect(tag + " UID FETCH " + std::to_string(100 + i) + " (UID RFC822)"));
        fetches.push_back(Send(tag + " NO [UNAVAILABLE] try later"));
    }
    fetches.push_back(Expect("C14 EXPUNGE"));
    fetches.push_back(Send("C14 OK"));
    TScriptedPeer peer(Script(ImapSelected(12), ImapList(3, listed), fetches));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Logged("FEHLER    | 10 Mails in Folge sind gescheitert; die übrigen 2 Mails werden in diesem Durchgang "
                       "nicht versucht."));
    EXPECT_TRUE(Filed("ID").empty());
}

// A fetch that stalls costs the time limit once: the pass does not wait
// for a new greeting of the same server at once, the next pass connects.
TEST_F(ImapPassTest, StalledFetchCostsTheTimeLimitOnce) {
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, 300}}),
                              std::vector<TPeerStep>{Expect("C4 UID FETCH 40 (UID RFC822)"),
                                                     Stall(std::chrono::seconds(15))}));
    Configure(peer.Port());
    const auto start = std::chrono::steady_clock::now();
    CheckIMAPPostfach(Ctx, imap);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(4500));
    EXPECT_TRUE(Logged("FEHLER    | Verbindungsfehler2 IMAP: Zeitüberschreitung"));
    EXPECT_FALSE(Logged("FEHLER    | Verbindungsfehler IMAP: "));
    EXPECT_FALSE(imap.Connected());
    EXPECT_TRUE(Filed("ID").empty());
}

TEST_F(ImapPassTest, ReadOnlyInboxEndsThePass) {
    TScriptedPeer peer(ImapSelected(1, "C2 OK [READ-ONLY] done"));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"C1 LOGIN anna \"pw\"", "C2 SELECT \"INBOX\""}));
    EXPECT_TRUE(Logged("FEHLER    | INBOX ist nur lesbar geöffnet ([READ-ONLY])"));
    EXPECT_TRUE(Filed("ID").empty());
}

// A refused STORE ends the pass without EXPUNGE; the filed mail stays noted
// and the next pass stores it without filing it again.
TEST_F(ImapPassTest, RefusedStoreKeepsTheNote) {
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, 300}}),
                              ImapMail(1, 40, Mail("Eins"), 4, "NO [CANNOT] not allowed"),
                              std::vector<TPeerStep>{Expect("C6 SELECT \"INBOX\""),
                                                     SendLines({"* 1 EXISTS", "* OK [UIDVALIDITY 77] ok", "C6 OK"})},
                              ImapList(7, {{40, 300, "\\Seen"}}),
                              std::vector<TPeerStep>{Expect("C8 UID STORE 40 +FLAGS.SILENT (\\Deleted)"), Send("C8 OK"),
                                                     Expect("C9 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C9 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    EXPECT_TRUE(Logged("FEHLER    | Nachricht UID 40 kann nicht als gelöscht markiert werden ([CANNOT] not allowed)"));
    EXPECT_EQ(Noted("imap", peer.Port()), 1u);
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins"}));
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
}

TEST_F(ImapPassTest, MailFlaggedDeletedElsewhereIsNotFiled) {
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{5, 300, "\\Deleted"}}),
                              std::vector<TPeerStep>{Expect("C4 EXPUNGE"), Send("C4 OK")}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Filed("ID").empty());
}

// Cut after filing, before STORE: the reconnect fails (nobody listens), the
// note keeps the filed mail from being filed again.
TEST_F(ImapPassTest, SessionCutAfterFilingIsNoted) {
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, 300}}),
                              std::vector<TPeerStep>{Expect("C4 UID FETCH 40 (UID RFC822)"),
                                                     SendRaw(Literal("* 1 FETCH (UID 40 RFC822", Mail("Eins"), ")\r\nC4 OK\r\n")),
                                                     Expect("C5 UID STORE 40 +FLAGS.SILENT (\\Deleted)"), CloseNow()}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins"}));
    EXPECT_TRUE(Logged("Verbindungsfehler2 IMAP: "));
    EXPECT_TRUE(Logged("FEHLER    | Verbindungsfehler IMAP: "));
    EXPECT_EQ(Noted("imap", peer.Port()), 1u);
}

TEST_F(ImapPassTest, FailedFilingStaysWithoutStore) {
    Db->Sql("DROP TABLE LF_NACHRICHTEN");
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, 300}}),
                              std::vector<TPeerStep>{Expect("C4 UID FETCH 40 (UID RFC822)"),
                                                     SendRaw(Literal("* 1 FETCH (UID 40 RFC822", Mail("Eins"), ")\r\nC4 OK\r\n")),
                                                     Expect("C5 EXPUNGE"), Send("C5 OK")}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Logged("Nachricht UID 40 (Absender: hans@example.org, Betreff: Eins) bleibt im Postfach: "));
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
}

// A server that stored an upload with CR line ends below its own CR LF
// header lines hands the mail over as it stands: the pass files it, text and
// PDF, as the import files the same file, and never deletes it unfiled.
class CrLinesBelowCrLfHeadTest : public ImapPassTest {
protected:
    const std::filesystem::path File =
        std::filesystem::path(DIRAVID_SOURCE_DIR) / "tests" / "mail" / "data" / "raw_server_head_cr_mail.eml";

    // Every filed entry holds the text, with one stored PDF each, byte for
    // byte the one sent.
    void ExpectFiledWithTextAndPdf() {
        const std::string pdf(
            "%PDF-1.4\n%\xe2\xe3\xcf\xd3\r\n1 0 obj\r<< /Type /Catalog >>\rendobj\n\x00\x01\x02\xff Plan\r\n%%EOF\n", 69);
        const std::vector<std::string> filed = Filed("INHALT");
        EXPECT_EQ(filed.size(), 1u);
        for (const std::string& text : filed) {
            EXPECT_NE(text.find("Grüße aus der Leitstelle.\r\n.\r\nZweite Zeile."), std::string::npos) << text;
        }
        std::size_t pdfs = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(LocalAttachments())) {
            if (!entry.is_regular_file()) continue;
            ++pdfs;
            EXPECT_EQ(entry.path().filename(), "plan.pdf");
            EXPECT_TRUE(ReadFile(entry.path()) == pdf) << entry.path();
        }
        EXPECT_EQ(pdfs, filed.size());
    }
};

TEST_F(CrLinesBelowCrLfHeadTest, MailboxPassFilesTextAndPdf) {
    TScriptedPeer peer(Script(ImapSelected(1), ImapList(3, {{40, ReadFile(File).size()}}),
                              ImapMail(1, 40, ReadFile(File), 4),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    ExpectFiledWithTextAndPdf();
}

TEST_F(CrLinesBelowCrLfHeadTest, ImportFilesTextAndPdf) {
    EXPECT_EQ(ImportMailDatei(Ctx, File).Auswertung.Ergebnis, TAuswertungsErgebnis::Abgelegt);
    ExpectFiledWithTextAndPdf();
}

}  // namespace
}  // namespace kdv::testing
