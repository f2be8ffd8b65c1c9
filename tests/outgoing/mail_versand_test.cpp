// The outgoing side against the sandbox's MariaDB, Postfix and Dovecot:
// journal rows and deliveries are mailed, read back from the mailbox with
// the project's reader, and every row's mark follows its outcome.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "outgoing/outgoing_test_fixture.h"
#include "support/scripted_peer.h"

namespace kdv::testing {
namespace {

// The text holds (or lacks) the part; the text is shown when it does not.
#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)
#define EXPECT_LACKS(text, part) EXPECT_EQ(std::string(text).find(part), std::string::npos) << (text)

constexpr const char* kIntro =
    "In der Lage \"Hochwasser Süd\" wurde von S3 (Meier) um 29.01.2024 14:05:09 folgender Eintrag hinzugefügt: ";

// The text part of a parsed mail and its attachments.
struct TReadBack {
    std::string Subject;
    std::string MsgId;
    std::string CharSet;
    std::string AutoSubmitted;
    std::string XLoop;
    std::vector<std::string> Body;
    std::vector<std::pair<std::string, std::string>> Attachments;  // name, bytes
};

TReadBack ReadBack(const std::string& raw) {
    std::unique_ptr<TMailMessage> message = ParseMail(raw);
    TReadBack r;
    r.Subject = message->Subject;
    r.MsgId = message->MsgId;
    r.AutoSubmitted = message->Headers.Values("Auto-Submitted");
    r.XLoop = message->Headers.Values("X-Loop");
    for (std::size_t i = 0; i < message->MessageParts.Count(); ++i) {
        TMailMessagePart& part = message->MessageParts[i];
        if (part.PartType() == TMailPartType::mptText) {
            r.CharSet = part.CharSet;
            r.Body = static_cast<TMailText&>(part).Body;
            // The reader keeps the line break in front of the next boundary
            // as one more empty line of a text part; it is not part of the text.
            if (!r.Body.empty() && r.Body.back().empty()) r.Body.pop_back();
        } else {
            std::ostringstream bytes;
            static_cast<TMailAttachment&>(part).SaveToStream(bytes);
            r.Attachments.emplace_back(part.FileName, bytes.str());
        }
    }
    // A mail of one text part carries it as the message's own body.
    if (r.Body.empty() && r.CharSet.empty()) {
        r.Body = message->Body;
        r.CharSet = message->CharSet;
    }
    return r;
}

struct TMailedCase {
    const char* name;
    std::string columns;
    std::string values;
    std::vector<std::string> pfade;    // attachment rows, as stored
    std::vector<std::string> present;  // files made under Home/anlagen (relative), content = name
    std::string subject;
    std::vector<std::string> bodyAfterIntro;  // lines after the intro line and its empty line
    std::string charset;
    std::vector<std::string> attachmentNames;
    std::string logged;  // a further line the log must hold
};

class MailedRowTest : public OutgoingTest, public ::testing::WithParamInterface<TMailedCase> {};

TEST_P(MailedRowTest, ArrivesAsBuilt) {
    const TMailedCase& c = GetParam();
    Journal(1, c.columns, c.values);
    for (const std::string& pfad : c.pfade) {
        Db->Sql("INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE, NACHRICHT, PFAD, FILENAME) VALUES (3, 1, '" + pfad +
                "', 'x');");
    }
    for (const std::string& file : c.present) WriteFile(Attachments() / file, "Inhalt von " + file + "\x01\xFF");

    SendNachrichten(Ctx);

    const std::vector<std::string> mails = Box->Mails(1);
    ASSERT_EQ(mails.size(), 1u);
    const TReadBack r = ReadBack(mails[0]);
    EXPECT_EQ(r.Subject, c.subject);
    std::vector<std::string> body = {kIntro, ""};
    body.insert(body.end(), c.bodyAfterIntro.begin(), c.bodyAfterIntro.end());
    EXPECT_EQ(r.Body, body);
    EXPECT_EQ(r.CharSet, c.charset);
    EXPECT_HAS(r.MsgId, (".1@localhost>"));
    // What autoresponders and the service's own mailbox passes look for.
    EXPECT_EQ(r.AutoSubmitted, "auto-generated");
    EXPECT_EQ(r.XLoop, Ini.ReadString("SMTP", "MailAdresse", ""));
    std::vector<std::string> names;
    for (const auto& [name, bytes] : r.Attachments) {
        names.push_back(name);
        EXPECT_EQ(bytes, "Inhalt von 3/1/" + name + "\x01\xFF");
    }
    EXPECT_EQ(names, c.attachmentNames);
    const std::string log = LogText();
    EXPECT_HAS(log, ("| Info      | Nachricht (ID:1) per Mail an " + Box->Address() + " versendet!"));
    if (!c.logged.empty()) {
        EXPECT_HAS(log, c.logged);
    }
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1"}));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MailedRowTest,
    ::testing::Values(
        TMailedCase{"Priority", "BETREFF,INHALT,VORRANG", "'Pegel','Text','S'", {}, {}, "Pegel (#3)",
                    {"Pegel  -  Vorrang: SOFORT:", "Text"}, "iso-8859-1", {},
                    "| Hinweis   | Zur Nachricht 1 wurden keine Anhänge gefunden."},
        TMailedCase{"LowerCasePriorityIsNone", "BETREFF,INHALT,VORRANG", "'Pegel','Text','b'", {}, {}, "Pegel (#3)",
                    {"Pegel:", "Text"}, "iso-8859-1", {}, ""},
        TMailedCase{"CommunicationPath", "BETREFF,INHALT,VON,AN,ART", "'Lage','Text','Leitstelle','Stab','Funk'",
                    {}, {}, "Lage (#3)",
                    {"Lage:", "", "Kommunikationsweg: Von: Leitstelle  An: Stab  Weg: Funk", "", "Text"},
                    "iso-8859-1", {}, ""},
        TMailedCase{"OnlyArt", "BETREFF,INHALT,ART", "'Lage','Text','Fax'", {}, {}, "Lage (#3)",
                    {"Lage:", "", "Kommunikationsweg:   Weg: Fax", "", "Text"}, "iso-8859-1", {}, ""},
        TMailedCase{"EuroAndPolishName", "BETREFF,INHALT", "'Kosten','5 € für Łukasz Dvořák'", {}, {},
                    "Kosten (#3)", {"Kosten:", "5 € für Łukasz Dvořák"}, "UTF-8", {}, ""},
        TMailedCase{"UmlautsStayLatin1", "BETREFF,INHALT", "'Straße','Äcker überflutet'", {}, {}, "Straße (#3)",
                    {"Straße:", "Äcker überflutet"}, "iso-8859-1", {}, ""},
        TMailedCase{"DotLinesAndLineFeedsOnly", "BETREFF,INHALT", "'Punkt','a\\n.\\n.b\\nende'", {}, {},
                    "Punkt (#3)", {"Punkt:", "a", ".", ".b", "ende"}, "iso-8859-1", {}, ""},
        TMailedCase{"TwoAttachmentsOneMissing", "BETREFF,INHALT", "'Plan','Anbei'",
                    {"D:\\\\Anlagen\\\\3\\\\1\\\\Plan.pdf", "D:\\\\Anlagen\\\\3\\\\1\\\\Fehlt.txt"}, {"3/1/Plan.pdf"},
                    "Plan (#3)", {"Plan:", "Anbei"}, "iso-8859-1", {"Plan.pdf"},
                    "| FEHLER    | Datei \"D:\\Anlagen\\3\\1\\Fehlt.txt\" nicht gefunden."}),
    [](const auto& info) { return std::string(info.param.name); });

// [Mail] NeueMail: the service's own entries are mailed only when set; left
// out, they are passed over up to the highest ID read. Rows without
// ADD_USER are mailed in both cases.
struct TNeueMailCase {
    const char* name;
    bool neueMail;
    std::vector<std::string> subjects;
    std::vector<std::string> status;
};

class NeueMailTest : public OutgoingTest, public ::testing::WithParamInterface<TNeueMailCase> {};

TEST_P(NeueMailTest, DecidesWhichEntriesGo) {
    Ini.WriteString("Mail", "NeueMail", GetParam().neueMail ? "1" : "0");
    Db->Sql(
        "INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, BETREFF) VALUES (1, 3, 'Meier', 'eins'), "
        "(2, 3, 'DiraVid', 'zwei'), (3, 3, NULL, 'drei'), (4, 3, 'DiraVid', 'vier');");
    SendNachrichten(Ctx);
    EXPECT_EQ(Subjects(GetParam().subjects.size()), GetParam().subjects);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, NeueMailTest,
    ::testing::Values(TNeueMailCase{"Off", false, {"drei (#3)", "eins (#3)"}, {"1\t1", "2\t1", "3\t1", "4\tNULL"}},
                      TNeueMailCase{"On", true,
                                    {"drei (#3)", "eins (#3)", "vier (#3)", "zwei (#3)"},
                                    {"1\t1", "2\t1", "3\t1", "4\t1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutgoingTest, DeliveriesWithAnAddressAreMailedOneEach) {
    Db->Sql("INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, BETREFF, DIRAVID_STATUS) VALUES (1, 3, 'Meier', 'eins', 1);");
    Delivery(1, 1, Box->Address());
    Delivery(2, 1, "Herr Meier");
    Delivery(3, 1, Box->Address());
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Subjects(2), (std::vector<std::string>{"eins (#3)", "eins (#3)"}));
    EXPECT_EQ(Db->Rows("SELECT ID, DIRAVID_STATUS, `STATUS`, ERLEDIGT_USER FROM LF_NACHRICHTEN_EMPF ORDER BY ID"),
              (std::vector<std::string>{"1\t1\tErledigt\tDiraVid", "2\tNULL\tUngelesen\tNULL",
                                        "3\t1\tErledigt\tDiraVid"}));
    EXPECT_HAS(LogText(), ("| Info: 1 | " + Box->Address() + " | 3"));
}

TEST_F(OutgoingTest, OnlyRecipientRefusedForGoodMarksTheRowFailedAndTheNextStillGo) {
    Db->Sql("INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, BETREFF, DIRAVID_STATUS) VALUES (1, 3, 'Meier', 'eins', 1);");
    Delivery(1, 1, "x@-bad-.localhost");
    Delivery(2, 1, Box->Address());
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Subjects(1), (std::vector<std::string>{"eins (#3)"}));
    EXPECT_EQ(Db->Rows("SELECT ID, DIRAVID_STATUS, `STATUS` FROM LF_NACHRICHTEN_EMPF ORDER BY ID"),
              (std::vector<std::string>{"1\t2\tUngelesen", "2\t1\tErledigt"}));
    const std::string log = LogText();
    EXPECT_HAS(log, ("| FEHLER    | Fehler beim Senden der Nachricht als Mail (ID:1): "));
    EXPECT_HAS(log, ("(DIRAVID_STATUS=2)"));
}

TEST_F(OutgoingTest, ARefusedRecipientInTheListLeavesTheOthersTheirMail) {
    Ini.WriteString("Mail", "An", Box->Address() + ", x@-bad-.localhost");
    Journal(1, "BETREFF", "'eins'");
    SendNachrichten(Ctx);
    EXPECT_EQ(Subjects(1), (std::vector<std::string>{"eins (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1"}));
    EXPECT_HAS(LogText(), ("| FEHLER    | Empfänger x@-bad-.localhost für Nachricht (ID:1) vom Mailserver "
                                     "abgewiesen: 501"));
}

TEST_F(OutgoingTest, EmptyRecipientListFailsTheRowForGood) {
    Ini.WriteString("Mail", "An", "");
    Journal(1, "BETREFF", "'eins'");
    SendNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t2"}));
    EXPECT_HAS(LogText(), ("Fehler beim Senden der Nachricht als Mail (ID:1): Keine gültige Empfängeradresse"));
}

TEST_F(OutgoingTest, MissingJournalRowFailsItsDeliveryForGood) {
    Delivery(1, 99, Box->Address());
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Db->Rows("SELECT ID, DIRAVID_STATUS, `STATUS` FROM LF_NACHRICHTEN_EMPF"),
              (std::vector<std::string>{"1\t2\tUngelesen"}));
    EXPECT_HAS(LogText(), ("Fehler bei SendNachrichten: Nachricht 99 existiert nicht"));
}

// Faults of the server or its settings keep every row pending, with one
// line that counts them.
struct TUnusableCase {
    const char* name;
    std::function<void(OutgoingTest&)> setUp;
    std::string logged;
};

class ServerUnusableTest : public OutgoingTest, public ::testing::WithParamInterface<TUnusableCase> {};

TEST_P(ServerUnusableTest, KeepsEveryRowPending) {
    GetParam().setUp(*this);
    Journal(1, "BETREFF", "'eins'");
    Journal(2, "BETREFF", "'zwei'");
    SendNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\tNULL", "2\tNULL"}));
    const std::string log = LogText();
    EXPECT_HAS(log, (GetParam().logged));
    EXPECT_HAS(log, ("| FEHLER    | Mailserver nicht nutzbar: 2 Einträge bleiben offen"));
    EXPECT_LACKS(log, "Versende Nachricht 2");
    EXPECT_TRUE(Box->Uids().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ServerUnusableTest,
    ::testing::Values(
        TUnusableCase{"WrongCredentials", [](OutgoingTest& t) { t.Smtp.password = "falsch"; },
                      "| FEHLER    | Authentifizierung am Mailserver fehlgeschlagen: "},
        TUnusableCase{"StartTlsRequiredButNotOffered",
                      [](OutgoingTest& t) {
                          t.Smtp.port = std::stoi(Env("DIRAVID_SMTP_NOTLS_PORT"));
                          t.Smtp.start_tls_if_offered = false;
                      },
                      "| FEHLER    | Authentifizierung am Mailserver fehlgeschlagen: SSL ist auf diesem Server nicht "
                      "verfügbar."},
        // A refused connection is no failed login: the cause follows the text.
        TUnusableCase{"NothingListening", [](OutgoingTest& t) { t.Smtp.port = 1; },
#ifdef _WIN32
                      "| FEHLER    | Authentifizierung am Mailserver fehlgeschlagen: Socket-Fehler # 10061<CR><LF>Verbindung "
#else
                      "| FEHLER    | Authentifizierung am Mailserver fehlgeschlagen: Socket-Fehler # 111<CR><LF>Verbindung "
#endif
                      "abgelehnt. (keine Verbindung zum Mailserver, noch vor der Anmeldung)"},
        TUnusableCase{"AttachmentFolderMissing",
                      [](OutgoingTest& t) {
                          t.Ini.WriteString("Pfade", "Lokal", (t.Attachments() / "nicht-eingehaengt").string());
                          t.Db->Sql("INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE, NACHRICHT, PFAD) VALUES "
                                    "(3, 1, 'D:\\\\Anlagen\\\\3\\\\1\\\\Plan.pdf');");
                      },
                      "| FEHLER    | Anhangordner "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutgoingTest, RowsKeptByAnOutageAreMailedOnceWhenTheServerIsBack) {
    Smtp.port = 1;
    Journal(1, "BETREFF", "'eins'");
    Journal(2, "BETREFF", "'zwei'");
    Db->Sql("INSERT INTO LF_NACHRICHTEN_EMPF (ID, LAGE, NACHRICHT, EMPFAENGER) VALUES (1, 3, 1, '" + Box->Address() +
            "');");
    SendNachrichten(Ctx);
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\tNULL", "2\tNULL"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN_EMPF"), (std::vector<std::string>{"1\tNULL"}));

    Smtp.port = std::stoi(Env("DIRAVID_SMTP_PORT"));
    for (int cycle = 0; cycle < 2; ++cycle) {
        SendNachrichten(Ctx);
        SendEmpfaengerNachrichten(Ctx);
    }
    EXPECT_EQ(Subjects(3), (std::vector<std::string>{"eins (#3)", "eins (#3)", "zwei (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1", "2\t1"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN_EMPF"), (std::vector<std::string>{"1\t1"}));
}

// The real Postfix stopped and started again on its port: nothing is lost
// while it is away, and nothing goes twice once it is back.
TEST_F(OutgoingTest, RowsWaitWhilePostfixIsStoppedAndGoOnceItIsBack) {
    TPrivateMailSandbox sandbox;
    UseSandbox(sandbox.Info());
    Journal(1, "BETREFF", "'eins'");
    Journal(2, "BETREFF", "'zwei'");
    Delivery(1, 1, Box->Address());

    sandbox.StopPostfix();
    SendNachrichten(Ctx);
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\tNULL", "2\tNULL"}));
    EXPECT_EQ(Db->Rows("SELECT ID, DIRAVID_STATUS, `STATUS` FROM LF_NACHRICHTEN_EMPF"),
              (std::vector<std::string>{"1\tNULL\tUngelesen"}));
    const std::string log = LogText();
    EXPECT_HAS(log, ("| FEHLER    | Authentifizierung am Mailserver fehlgeschlagen: "));
    EXPECT_HAS(log, ("| FEHLER    | Mailserver nicht nutzbar: 2 Einträge bleiben offen"));
    EXPECT_HAS(log, ("| FEHLER    | Mailserver nicht nutzbar: 1 Eintrag bleibt offen und wird im nächsten Abruf versendet."));
    EXPECT_LACKS(log, "versendet!");

    sandbox.Restart("postfix");
    for (int cycle = 0; cycle < 2; ++cycle) {
        SendNachrichten(Ctx);
        SendEmpfaengerNachrichten(Ctx);
    }
    EXPECT_EQ(Subjects(3), (std::vector<std::string>{"eins (#3)", "eins (#3)", "zwei (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1", "2\t1"}));
    EXPECT_EQ(Db->Rows("SELECT ID, DIRAVID_STATUS, `STATUS` FROM LF_NACHRICHTEN_EMPF"),
              (std::vector<std::string>{"1\t1\tErledigt"}));
}

// A time as the database takes it ("2026-12-09 15:04:05") and as the log
// shows it ("09.12.2026 15:04:05").
struct TRowTime {
    std::string Sql;
    std::string Shown;
};

TRowTime RowTime(LocalTime time) {
    const auto day = std::chrono::floor<std::chrono::days>(time);
    const std::chrono::year_month_day date{day};
    const std::chrono::hh_mm_ss clock{std::chrono::floor<std::chrono::seconds>(time - day)};
    const int y = static_cast<int>(date.year());
    const unsigned m = static_cast<unsigned>(date.month());
    const unsigned d = static_cast<unsigned>(date.day());
    const long h = clock.hours().count();
    const long n = clock.minutes().count();
    const long s = clock.seconds().count();
    char sql[32];
    char shown[32];
    std::snprintf(sql, sizeof sql, "%04d-%02u-%02u %02ld:%02ld:%02ld", y, m, d, h, n, s);
    std::snprintf(shown, sizeof shown, "%02u.%02u.%04d %02ld:%02ld:%02ld", d, m, y, h, n, s);
    return {sql, shown};
}

// A server that puts the row off with a 4xx reply, to its recipient or to
// its text: the row waits, and once a day has passed since its ADD_TIME it
// is given up.
struct TDeferredCase {
    const char* name;
    std::vector<TPeerStep> refusal;  // after MAIL FROM was accepted
    std::string replyText;                    // of the refusal, without its code
    int hoursOld;
    std::string status;
    bool givenUp;
};

class DeferredRowTest : public OutgoingTest, public ::testing::WithParamInterface<TDeferredCase> {};

TEST_P(DeferredRowTest, WaitsADayThenIsGivenUp) {
    const TDeferredCase& c = GetParam();
    std::vector<TPeerStep> script = {Send("220 peer ESMTP"), ExpectAny(),
                                              Send("250 peer"),       ExpectAny(),
                                              Send("250 2.1.0 Ok"),   ExpectAny()};
    script.insert(script.end(), c.refusal.begin(), c.refusal.end());
    script.push_back(Expect("RSET"));
    script.push_back(Send("250 2.0.0 Ok"));
    TScriptedPeer peer(script);
    UseSmtp("127.0.0.1", std::to_string(peer.Port()));
    Smtp.start_tls_if_offered = true;
    Smtp.username = "";
    const TRowTime written = RowTime(Clock.Now() - std::chrono::hours{c.hoursOld});
    Db->Sql("INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, ADD_TIME, BETREFF) VALUES (1, 3, 'Meier', '" +
            written.Sql + "', 'eins');");

    SendNachrichten(Ctx);

    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t" + c.status}));
    const std::string log = LogText();
    EXPECT_HAS(log, ("| FEHLER    | Fehler beim Senden der Nachricht als Mail (ID:1): " + c.replyText));
    EXPECT_LACKS(log, "Mailserver nicht nutzbar");
    const std::string givenUp = "| FEHLER    | Nachricht (ID:1) ist seit " + written.Shown + " nicht versendbar";
    if (c.givenUp) {
        EXPECT_HAS(log, givenUp);
        EXPECT_HAS(log, ("| FEHLER    | Nachricht (ID:1) wird nicht versendet und ist als fehlgeschlagen markiert"));
    } else {
        EXPECT_LACKS(log, givenUp);
        EXPECT_LACKS(log, "(DIRAVID_STATUS=2)");
    }
}

const std::vector<TPeerStep> kRecipientDeferred = {Send("451 4.3.0 Bitte spaeter")};
const std::vector<TPeerStep> kTextDeferred = {Send("250 2.1.5 Ok"), Expect("DATA"),
                                                       Send("354 Daten"), ExpectData(),
                                                       Send("452 4.3.1 Speicher voll")};

INSTANTIATE_TEST_SUITE_P(
    Replies, DeferredRowTest,
    ::testing::Values(
        TDeferredCase{"RecipientDeferredAnHourAfterWriting", kRecipientDeferred, "Bitte spaeter", 1, "NULL", false},
        TDeferredCase{"RecipientDeferredADayAfterWriting", kRecipientDeferred, "Bitte spaeter", 25, "2", true},
        TDeferredCase{"TextDeferredAnHourAfterWriting", kTextDeferred, "Speicher voll", 1, "NULL", false},
        TDeferredCase{"TextDeferredADayAfterWriting", kTextDeferred, "Speicher voll", 25, "2", true}),
    [](const auto& info) { return std::string(info.param.name); });

// A refusal decides by the stage it comes at: what the server says to the
// row's recipients or text is the row's alone, what meets every row (the
// sender, a session that breaks down) keeps the row and stops the scan.
struct TRefusalCase {
    const char* name;
    std::vector<TPeerStep> fromMailFrom;  // the server's side from MAIL FROM on
    std::string status;
    bool serverUnusable;
};

class RefusalStageTest : public OutgoingTest, public ::testing::WithParamInterface<TRefusalCase> {};

TEST_P(RefusalStageTest, DecidesTheRow) {
    const TRefusalCase& c = GetParam();
    std::vector<TPeerStep> script = {Send("220 peer ESMTP"), ExpectAny(), Send("250 peer")};
    script.insert(script.end(), c.fromMailFrom.begin(), c.fromMailFrom.end());
    TScriptedPeer peer(script);
    UseSmtp("127.0.0.1", std::to_string(peer.Port()));
    Smtp.start_tls_if_offered = true;
    Smtp.username = "";
    Journal(1, "BETREFF", "'eins'");

    SendNachrichten(Ctx);

    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t" + c.status}));
    const std::string log = LogText();
    EXPECT_HAS(log, "| FEHLER    | Fehler beim Senden der Nachricht als Mail (ID:1): ");
    if (c.serverUnusable) {
        EXPECT_HAS(log, "| FEHLER    | Mailserver nicht nutzbar: 1 Eintrag bleibt offen");
    } else {
        EXPECT_LACKS(log, "Mailserver nicht nutzbar");
    }
}

const TPeerStep kOk = Send("250 2.0.0 Ok");
const std::vector<TPeerStep> kRset = {Expect("RSET"), kOk};

std::vector<TPeerStep> Join(std::initializer_list<std::vector<TPeerStep>> pieces) {
    std::vector<TPeerStep> steps;
    for (const auto& piece : pieces) steps.insert(steps.end(), piece.begin(), piece.end());
    return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Stages, RefusalStageTest,
    ::testing::Values(
        TRefusalCase{"RecipientRefusedByPolicy",
                     Join({{ExpectAny(), kOk, ExpectAny(), Send("554 5.7.1 Relay access denied")}, kRset}), "2",
                     false},
        TRefusalCase{"TextRefusedByPolicy",
                     Join({{ExpectAny(), kOk, ExpectAny(), kOk, Expect("DATA"), Send("354 Daten"), ExpectData(),
                            Send("554 5.7.1 Inhalt abgelehnt")},
                           kRset}),
                     "2", false},
        TRefusalCase{"SizeRefusedAtMailFrom", Join({{ExpectAny(), Send("552 5.3.4 Nachricht zu gross")}, kRset}), "2",
                     false},
        TRefusalCase{"SenderRefused", Join({{ExpectAny(), Send("553 5.7.1 Absender abgelehnt")}, kRset}), "NULL",
                     true},
        TRefusalCase{"LoginWantedAtTheRecipient",
                     Join({{ExpectAny(), kOk, ExpectAny(), Send("530 5.7.0 Authentication required")}, kRset}),
                     "NULL", true},
        TRefusalCase{"ServiceClosingAtTheRecipient",
                     {ExpectAny(), kOk, ExpectAny(), Send("421 4.7.0 Sitzung wird beendet"), CloseNow()}, "NULL",
                     true},
        TRefusalCase{"ConnectionLostAfterTheText",
                     {ExpectAny(), kOk, ExpectAny(), kOk, Expect("DATA"), Send("354 Daten"), ExpectData(), CloseNow()},
                     "NULL", true}),
    [](const auto& info) { return std::string(info.param.name); });

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

// An internal relay that admits by address and offers no login (the
// sandbox's relay listener, which takes small mails only). With a user
// name set the mails go without login, and one notice per cycle says so;
// what the relay refuses for one row's recipient or size fails that row
// alone, and the rows behind it go out.
TEST_F(OutgoingTest, RelayWithoutLoginRefusesSingleRowsAndMailsTheOthers) {
    TPrivateMailSandbox sandbox;
    UseSandbox(sandbox.Info());
    UseSmtp(sandbox.Info().Host(), sandbox.Info().Get("DIRAVID_SMTP_RELAY_PORT"));
    Smtp.start_tls_if_offered = true;
    ASSERT_FALSE(Smtp.username.empty());
    Journal(1, "BETREFF", "'klein'");
    Journal(2, "BETREFF", "'gross'");
    Db->Sql("INSERT INTO LF_NACHRICHTEN_ANLAGEN (LAGE, NACHRICHT, PFAD) VALUES "
            "(3, 2, 'D:\\\\Anlagen\\\\3\\\\2\\\\Plan.pdf');");
    WriteFile(Attachments() / "3/2/Plan.pdf", std::string(100 * 1024, 'p'));
    Delivery(1, 1, "jemand@example.org");
    Delivery(2, 2, Box->Address());
    Delivery(3, 1, Box->Address());

    SendNachrichten(Ctx);
    SendEmpfaengerNachrichten(Ctx);

    EXPECT_EQ(Subjects(2), (std::vector<std::string>{"klein (#3)", "klein (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1", "2\t2"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN_EMPF"), (std::vector<std::string>{"1\t2", "2\t2", "3\t1"}));
    std::string log = LogText();
    EXPECT_HAS(log, "Relay access denied");
    EXPECT_HAS(log, "message file too big");
    EXPECT_LACKS(log, "Mailserver nicht nutzbar");
    EXPECT_LACKS(log, "Authentifizierung am Mailserver fehlgeschlagen");
    EXPECT_EQ(Occurrences(log, std::string("| Hinweis   | ") + kNoLoginOffered), 1u) << log;

    Cycle = {};
    Journal(3, "BETREFF", "'drei'");
    SendNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1", "2\t2", "3\t1"}));
    log = LogText();
    EXPECT_EQ(Occurrences(log, kNoLoginOffered), 2u) << log;
}

// A row whose own session breaks down (the sandbox's Postfix answers the
// recipient "abbruch@" with 421 and hangs up) stops its scan, and the row
// behind it waits. After three such cycles in a row it is handled as not
// sendable now: the row behind it goes out, and the row itself is given up
// once a day has passed since it was written.
struct THoldingCase {
    const char* name;
    int hoursOld;
    std::string heldStatus;  // the holding row's DIRAVID_STATUS after the fourth cycle
};

class HoldingRowTest : public OutgoingTest, public ::testing::WithParamInterface<THoldingCase> {};

TEST_P(HoldingRowTest, IsPassedAfterThreeCycles) {
    const THoldingCase& c = GetParam();
    TPrivateMailSandbox sandbox;
    UseSandbox(sandbox.Info());
    const TRowTime written = RowTime(Clock.Now() - std::chrono::hours{c.hoursOld});
    Db->Sql("INSERT INTO LF_NACHRICHTEN (ID, LAGE, ADD_USER, ADD_TIME, BETREFF, DIRAVID_STATUS) VALUES (1, 3, "
            "'Meier', '" + written.Sql + "', 'eins', 1);");
    Delivery(1, 1, "abbruch@localhost");
    Delivery(2, 1, Box->Address());
    const std::string held = "Zustellung 1 der Nachricht (ID:1) hat den Versand in 3 Abrufen in Folge aufgehalten";

    for (int cycle = 1; cycle <= 3; ++cycle) {
        SendEmpfaengerNachrichten(Ctx);
        EXPECT_EQ(Status("LF_NACHRICHTEN_EMPF"), (std::vector<std::string>{"1\tNULL", "2\tNULL"})) << cycle;
        const std::string log = LogText();
        EXPECT_EQ(Occurrences(log, "| FEHLER    | Mailserver nicht nutzbar: 2 Einträge bleiben offen"),
                  static_cast<std::size_t>(cycle));
        EXPECT_EQ(Occurrences(log, held), cycle == 3 ? 1u : 0u) << log;
    }
    EXPECT_TRUE(Box->Uids().empty());

    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Subjects(1), (std::vector<std::string>{"eins (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN_EMPF"), (std::vector<std::string>{"1\t" + c.heldStatus, "2\t1"}));
    EXPECT_HAS(LogText(), "| FEHLER    | Nachricht (ID:1) hält den Versand auf: sie gilt als derzeit nicht versendbar");

    // It stays passed: the next cycle tries it again and goes on.
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN_EMPF"), (std::vector<std::string>{"1\t" + c.heldStatus, "2\t1"}));
    EXPECT_EQ(Occurrences(LogText(), "Mailserver nicht nutzbar"), 3u);
}

INSTANTIATE_TEST_SUITE_P(Ages, HoldingRowTest,
                         ::testing::Values(THoldingCase{"WrittenAnHourAgoKeepsWaiting", 1, "NULL"},
                                           THoldingCase{"WrittenADayAgoIsGivenUp", 25, "2"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutgoingTest, ARowCommittedLateWithALowerIdGoesInTheNextCycle) {
    Journal(10, "BETREFF", "'zehn'");
    SendNachrichten(Ctx);
    Journal(5, "BETREFF", "'fuenf'");
    SendNachrichten(Ctx);
    EXPECT_EQ(Subjects(2), (std::vector<std::string>{"fuenf (#3)", "zehn (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"5\t1", "10\t1"}));
}

TEST_F(OutgoingTest, EmptyHostSwitchesMailingOffAndMarksTheRows) {
    Smtp.host = "";
    Journal(1, "BETREFF", "'eins'");
    Delivery(1, 1, Box->Address());
    SendNachrichten(Ctx);
    SendEmpfaengerNachrichten(Ctx);
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1"}));
    EXPECT_EQ(Db->Rows("SELECT ID, DIRAVID_STATUS, `STATUS` FROM LF_NACHRICHTEN_EMPF"),
              (std::vector<std::string>{"1\t1\tErledigt"}));
    const std::string log = LogText();
    EXPECT_HAS(log, ("| Hinweis   | Kein SMTP-Server eingetragen"));
    EXPECT_LACKS(log, "Versende Nachricht");
    EXPECT_TRUE(Box->Uids().empty());
}

TEST_F(OutgoingTest, NoPendingRowsLogsOnlyTheScanLines) {
    SendNachrichten(Ctx);
    SendEmpfaengerNachrichten(Ctx);
    const std::string log = LogText();
    EXPECT_HAS(log, ("| Debug     | Prüfe auf neue Einträge..."));
    EXPECT_HAS(log, ("| Debug     | Prüfung auf neue Einträge abgeschlossen."));
    EXPECT_LACKS(log, "neue Nachrichten zu versenden");
}

TEST_F(OutgoingTest, AStopRequestLeavesTheRemainingRowsPending) {
    Journal(1, "BETREFF", "'eins'");
    Journal(2, "BETREFF", "'zwei'");
    int asked = 0;
    Ctx.StopRequested = [&] { return ++asked > 1; };
    SendNachrichten(Ctx);
    EXPECT_EQ(Subjects(1), (std::vector<std::string>{"eins (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1", "2\tNULL"}));
}

// The database stopped in the middle of a scan: the rows mailed before are
// marked, and after the server is back the others go exactly once.
TEST_F(OutgoingTest, DatabaseStoppedMidScanMailsNothingTwice) {
    TPrivateDbServer server;
    OpenDatabase(&server.Info());
    for (int id = 1; id <= 3; ++id) Journal(id, "BETREFF", "'n" + std::to_string(id) + "'");
    int asked = 0;
    Ctx.StopRequested = [&] {
        if (++asked == 2) server.Stop();
        return false;
    };
    SendNachrichten(Ctx);
    EXPECT_HAS(LogText(), ("| FEHLER    | Fehler bei SendNachrichten: "));
    server.Start();
    Ctx.StopRequested = {};
    SendNachrichten(Ctx);
    EXPECT_EQ(Subjects(3), (std::vector<std::string>{"n1 (#3)", "n2 (#3)", "n3 (#3)"}));
    EXPECT_EQ(Status("LF_NACHRICHTEN"), (std::vector<std::string>{"1\t1", "2\t1", "3\t1"}));
}

}  // namespace
}  // namespace kdv::testing
