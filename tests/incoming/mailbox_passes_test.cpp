// The mailbox passes against a scripted server and a fixture database: the
// order of the dialogue, what is filed and removed, what stays, the note of
// filed mails that survives a broken session, and the log lines.
#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "clients/mail_imap4.h"
#include "incoming/incoming_test_fixture.h"
#include "incoming/kept_mail.h"
#include "incoming/mailbox_passes.h"
#include "incoming/mailbox_record.h"
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

std::vector<TPeerStep> Pop3Mail(int k, const std::string& mail, bool dele = true) {
    std::vector<TPeerStep> steps{Expect("UIDL " + std::to_string(k)), Send("+OK " + std::to_string(k) + " u" + std::to_string(k)),
                                 Expect("RETR " + std::to_string(k)), SendRaw(Pop3Data(mail))};
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
        Ini.WriteString("Verbindung", "Zeitlimit", "3");
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
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 3", "RETR 3",
                                                           "DELE 3", "UIDL 2", "RETR 2", "DELE 2", "UIDL 1", "RETR 1",
                                                           "DELE 1", "QUIT"}));
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
    int asked = 0;
    CheckPOP3Postfach(Ctx, [&] { return ++asked > 1; });
    EXPECT_EQ(peer.Transcript(), (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 3", "RETR 3",
                                                           "DELE 3", "QUIT"}));
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
              (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 1", "RETR 1", "QUIT"}));
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
                  c.folderUsable ? (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 2", "RETR 2",
                                                             "DELE 2", "UIDL 1", "RETR 1", "DELE 1", "QUIT"})
                                 : (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 2", "RETR 2",
                                                             "UIDL 1", "RETR 1", "QUIT"}));
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
    TScriptedPeer again(Script(Pop3Login(2), Pop3Mail(2, Mail("Zwei")), Pop3Mail(1, Mail("Eins")),
                               std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Ini.WriteString("POP3", "Port", std::to_string(again.Port()));
    // The note belongs to server and user; move it to the new port.
    std::filesystem::rename(TPostfachVermerk(Home.Path(), "pop3", "127.0.0.1", port, "anna").Datei(),
                            TPostfachVermerk(Home.Path(), "pop3", "127.0.0.1", again.Port(), "anna").Datei());
    CheckPOP3Postfach(Ctx);
    again.Transcript();
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Zwei", "Eins"}));
    EXPECT_TRUE(Logged("Nachricht 2 wurde schon abgelegt und wird nur noch gelöscht."));
    EXPECT_EQ(Noted("pop3", again.Port()), 0u);
}

TEST_F(MailboxPassTest, Pop3SessionCutInsideAMailLeavesItUnfiled) {
    TScriptedPeer peer(Script(Pop3Login(2), Pop3Mail(2, Mail("Zwei")),
                              std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"), Expect("RETR 1"),
                                                     SendLines({"+OK", "From: hans@example.org", "Subject: Eins"}),
                                                     CloseMidLine("Content-Ty")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    peer.Transcript();
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Zwei"}));
    EXPECT_TRUE(Logged("Nachricht 1 bleibt im Postfach: Die Verbindung wurde erfolgreich geschlossen."));
    // Mail 2 was filed and marked, but no QUIT came through: it stays noted.
    EXPECT_EQ(Noted("pop3", peer.Port()), 1u);
}

TEST_F(MailboxPassTest, Pop3RetrievalRefusedStays) {
    TScriptedPeer peer(Script(Pop3Login(1),
                              std::vector<TPeerStep>{Expect("UIDL 1"), Send("+OK 1 u1"), Expect("RETR 1"),
                                                     Send("-ERR message locked"), Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Transcript(),
              (std::vector<std::string>{"CAPA", "USER anna", "PASS pw", "STAT", "UIDL 1", "RETR 1", "QUIT"}));
    EXPECT_TRUE(Logged("Nachricht 1 kann nicht abgerufen werden und bleibt im Postfach: message locked"));
}

// Over the size limit: kept whole in Fehler, removed, logged at level 3.
TEST_F(MailboxPassTest, Pop3OverSizeMailIsKeptAndRemoved) {
    TScriptedPeer peer(
        Script(Pop3Login(1), Pop3Mail(1, OverSizeMail()), std::vector<TPeerStep>{Expect("QUIT"), Send("+OK")}));
    Pop3Settings(peer.Port());
    CheckPOP3Postfach(Ctx);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("FEHLER    | Nachricht 1 ist größer als 1 MB"));
    EXPECT_EQ(KeptInFehler(), 1u);
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

// Mail i with UID uid, fetched and stored; `tag` is the first of three tags.
std::vector<TPeerStep> ImapMail(int i, int uid, const std::string& mail, int tag, const std::string& storeReply = "OK") {
    const std::string n = std::to_string(i);
    const std::string t1 = "C" + std::to_string(tag), t2 = "C" + std::to_string(tag + 1),
                      t3 = "C" + std::to_string(tag + 2);
    return {Expect(t1 + " FETCH " + n + " (UID FLAGS)"),
            SendLines({"* " + n + " FETCH (UID " + std::to_string(uid) + " FLAGS ())", t1 + " OK"}),
            Expect(t2 + " FETCH " + n + " (RFC822)"),
            SendRaw(Literal("* " + n + " FETCH (RFC822", mail, ")\r\n" + t2 + " OK\r\n")),
            Expect(t3 + " UID STORE " + std::to_string(uid) + " +FLAGS.SILENT (\\Deleted)"), Send(t3 + " " + storeReply)};
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
    TScriptedPeer peer(Script(ImapSelected(2), ImapMail(1, 40, Mail("Eins"), 3), ImapMail(2, 41, Mail("Zwei"), 6),
                              std::vector<TPeerStep>{Expect("C9 EXPUNGE"),
                                                     SendLines({"* 1 EXPUNGE", "* 1 EXPUNGE", "C9 OK"})}));
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
    TScriptedPeer peer(Script(ImapSelected(3), ImapMail(1, 40, Mail("Eins"), 3),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    int asked = 0;
    CheckIMAPPostfach(Ctx, imap, [&] { return ++asked > 1; });
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Eins"}));
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
    EXPECT_TRUE(Logged("Hinweis   | Abbruch angefordert: die übrigen 2 Mails bleiben für den nächsten Durchgang im "
                       "Postfach."));
}

TEST_F(ImapPassTest, OverSizeMailIsKeptAndRemoved) {
    TScriptedPeer peer(Script(ImapSelected(1), ImapMail(1, 40, OverSizeMail(), 3),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Filed("ID").empty());
    EXPECT_TRUE(Logged("FEHLER    | Nachricht UID 40 ist größer als 1 MB"));
    EXPECT_EQ(KeptInFehler(), 1u);
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
}

TEST_F(ImapPassTest, LineOfTwentyThousandBytesIsFiled) {
    const std::string line(20000, 'w');
    TScriptedPeer peer(Script(ImapSelected(1), ImapMail(1, 40, Mail("Lang", line), 3),
                              std::vector<TPeerStep>{Expect("C6 EXPUNGE"), SendLines({"* 1 EXPUNGE", "C6 OK"})}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Subjects(), (std::vector<std::string>{"Lang"}));
    EXPECT_EQ(WholeLineFiled(line), (std::vector<std::string>{"1"}));
    EXPECT_TRUE(Logged("Nachricht von hans@example.org Betreff Lang wird ausgewertet."));
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
    TScriptedPeer peer(Script(ImapSelected(1), ImapMail(1, 40, Mail("Eins"), 3, "NO [CANNOT] not allowed"),
                              std::vector<TPeerStep>{Expect("C6 SELECT \"INBOX\""),
                                                     SendLines({"* 1 EXISTS", "* OK [UIDVALIDITY 77] ok", "C6 OK"}),
                                                     Expect("C7 FETCH 1 (UID FLAGS)"),
                                                     SendLines({"* 1 FETCH (UID 40 FLAGS (\\Seen))", "C7 OK"}),
                                                     Expect("C8 UID STORE 40 +FLAGS.SILENT (\\Deleted)"), Send("C8 OK"),
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
    TScriptedPeer peer(Script(ImapSelected(1),
                              std::vector<TPeerStep>{Expect("C3 FETCH 1 (UID FLAGS)"),
                                                     SendLines({"* 1 FETCH (UID 5 FLAGS (\\Deleted))", "C3 OK"}),
                                                     Expect("C4 EXPUNGE"), Send("C4 OK")}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Filed("ID").empty());
}

// Cut after filing, before STORE: the reconnect fails (nobody listens), the
// note keeps the filed mail from being filed again.
TEST_F(ImapPassTest, SessionCutAfterFilingIsNoted) {
    TScriptedPeer peer(Script(ImapSelected(1),
                              std::vector<TPeerStep>{Expect("C3 FETCH 1 (UID FLAGS)"),
                                                     SendLines({"* 1 FETCH (UID 40 FLAGS ())", "C3 OK"}),
                                                     Expect("C4 FETCH 1 (RFC822)"),
                                                     SendRaw(Literal("* 1 FETCH (RFC822", Mail("Eins"), ")\r\nC4 OK\r\n")),
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
    TScriptedPeer peer(Script(ImapSelected(1),
                              std::vector<TPeerStep>{Expect("C3 FETCH 1 (UID FLAGS)"),
                                                     SendLines({"* 1 FETCH (UID 40 FLAGS ())", "C3 OK"}),
                                                     Expect("C4 FETCH 1 (RFC822)"),
                                                     SendRaw(Literal("* 1 FETCH (RFC822", Mail("Eins"), ")\r\nC4 OK\r\n")),
                                                     Expect("C5 EXPUNGE"), Send("C5 OK")}));
    Configure(peer.Port());
    CheckIMAPPostfach(Ctx, imap);
    imap.TMailExplicitTLSClient::Disconnect(false);
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_TRUE(Logged("Nachricht UID 40 (Absender: hans@example.org, Betreff: Eins) bleibt im Postfach: "));
    EXPECT_EQ(Noted("imap", peer.Port()), 0u);
}

}  // namespace
}  // namespace kdv::testing
