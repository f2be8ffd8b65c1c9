// The whole service as operators run it: the built program with --once
// against a real MariaDB and the mail sandbox's Postfix and Dovecot. A
// journal entry travels out by mail, the reply comes back into its incident,
// and the service is hurt in the middle of its work (servers restarted or
// stopped, the process killed) while every mail and row is counted.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mail/mail_message.h"
#include "mail/mail_message_parts.h"
#include "mail/mime_reader.h"
#include "service/filed_whole.h"
#include "service/mail_read_back.h"
#include "support/db_test_server.h"
#include "support/mail_sandbox.h"
#include "support/run_program.h"
#include "support/service_home.h"
#include "support/test_files.h"

namespace kdv {
namespace {

using testing::TMailSandboxInfo;
using testing::TSandboxMailbox;

// The text holds (or lacks) the part; the text is shown when it does not.
#define EXPECT_HAS(text, part) EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

constexpr int kIncident = 5;

std::string Subject(const std::string& raw) {
    TMailMessage message;
    LoadMessageFromMemory(message, raw);
    return message.Subject;
}

// The text of the mail's first text part (or of its body), lines joined by LF.
std::string BodyText(const std::string& raw) {
    TMailMessage message;
    LoadMessageFromMemory(message, raw);
    std::vector<std::string> lines = message.Body;
    for (std::size_t i = 0; i < message.MessageParts.Count(); ++i) {
        TMailMessagePart& part = message.MessageParts[i];
        if (part.PartType() == TMailPartType::mptText) {
            lines = static_cast<TMailText&>(part).Body;
            break;
        }
    }
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// A reply as a mail program writes it: quoted subject with "AW: ", a text
// part and one attachment.
std::string ReplyWithAttachment(const std::string& from, const std::string& to, const std::string& subject,
                                const std::string& text, const std::string& fileName, const std::string& base64) {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"grenze\"\r\n\r\n"
           "--grenze\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
           text +
           "\r\n--grenze\r\nContent-Type: application/pdf; name=\"" + fileName +
           "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"" + fileName +
           "\"\r\n\r\n" + base64 + "\r\n--grenze--\r\n";
}

std::string PlainMail(const std::string& from, const std::string& to, const std::string& subject,
                      const std::string& text) {
    return "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
           "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" + text + "\r\n";
}

std::size_t CountLinesWith(const std::vector<std::string>& lines, const std::string& part) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.find(part) != std::string::npos; }));
}

// The service with its home folder, its database and three mailboxes: its
// own (which it empties), a person's (An of the journal mails) and a
// reviewer's (Sichter of the filed entries).
class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
    }

    // Everything on the given servers (nullptr: the shared ones).
    void Build(const testing::TDbServerInfo* dbServer, const TMailSandboxInfo* mail) {
        Mail = mail != nullptr ? mail : testing::SharedMailSandbox();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        Db.emplace(std::string("E2E") + info->name(), testing::TFixtureOptions{}, dbServer);
        std::filesystem::create_directories(Home / "Anlagen");
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (5, 'Deichbruch Nord', 1, 0), "
                "(6, 'Waldbrand', 1, 0);");
        Db->Sql("INSERT INTO OPTIONEN (`NAME`, WERT) VALUES ('LF_NR_PATH', '" + (Home / "Anlagen").string() + "');");
        Service.emplace(*Mail, "svc");
        Person.emplace(*Mail, "person");
        Reviewer.emplace(*Mail, "sichter");
        WriteIni({});
    }

    struct TSettings {
        std::string An;  // empty: the person's address
        bool NeueMail = false;
        std::string Sichter;
    };

    void WriteIni(const TSettings& s) {
        const TMailSandboxInfo& m = *Mail;
        Home.WriteIni(&*Db, "[SMTP]\nHost=" + m.Host() + "\nPort=" + m.Get("DIRAVID_SMTP_PORT") +
                                "\nUsername=" + Service->Name() + "\nPasswort=" + Service->Password() +
                                "\nMailAdresse=" + Service->Address() +
                                "\n[StartTLS]\nAktiv=1\n"
                                "[IMAP]\nAktiv=1\nHost=" +
                                m.Host() + "\nPort=" + m.Get("DIRAVID_IMAP_PORT") + "\nSSL=1\nUsername=" +
                                Service->Name() + "\nPasswort=" + Service->Password() +
                                "\n[Mail]\nNeuNachricht=1\nNeueMail=" + (s.NeueMail ? "1" : "0") +
                                "\nAn=" + (s.An.empty() ? Person->Address() : s.An) +
                                "\n[Maileingang]\nBetreff=1\nSichter=" + s.Sichter +
                                "\n[Verbindung]\nZeitlimit=10\n");
    }

    // One run of the program with --once; it must end well.
    void Cycle() {
        const auto r = testing::RunProgram(DIRAVID_BINARY, {"--home", Home.Path().string(), "--once"});
        ASSERT_EQ(r.ExitCode, 0) << r.Stderr << LogText();
    }

    std::unique_ptr<testing::TRunningProgram> StartCycle() {
        return testing::StartProgram(DIRAVID_BINARY, {"--home", Home.Path().string(), "--once"});
    }

    // A pending journal entry of incident 5.
    void Journal(const std::string& betreff, const std::string& inhalt) {
        Db->Sql("INSERT INTO LF_NACHRICHTEN (NUMMER, LAGE, ADD_USER, ADD_FUNKTION, BETREFF, INHALT, VON, AN, ART) "
                "VALUES (1, 5, 'Leitstelle', 'S2', '" +
                betreff + "', '" + inhalt + "', 'Leitstelle', 'Einsatzleitung', 'Funk');");
    }

    std::vector<std::string> FiledSubjects() const {
        return Db->Rows(
            "SELECT SUBSTRING_INDEX(INHALT, CHAR(13), 1) FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' ORDER BY ID");
    }

    // The entries of every run so far: each start moves the log to Logs/.
    std::vector<std::string> AllLogEntries() const {
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(Home / "Logs")) {
            for (const auto& e : std::filesystem::directory_iterator(Home / "Logs")) files.push_back(e.path());
        }
        std::sort(files.begin(), files.end());
        std::vector<std::string> entries;
        for (const auto& file : files) {
            std::istringstream in(testing::ReadLogText(file));
            for (std::string line; std::getline(in, line);) entries.push_back(line);
        }
        for (const std::string& line : Home.LogEntries()) entries.push_back(line);
        return entries;
    }

    std::string LogText() const {
        std::string text = "\n--- log of every run:\n";
        for (const std::string& line : AllLogEntries()) text += line + "\n";
        return text;
    }

    testing::TServiceHome Home;
    const TMailSandboxInfo* Mail = nullptr;
    std::optional<testing::TTestDatabase> Db;
    std::optional<TSandboxMailbox> Service;
    std::optional<TSandboxMailbox> Person;
    std::optional<TSandboxMailbox> Reviewer;
};

TEST_F(EndToEnd, JournalEntryGoesOutAndTheReplyComesBackIntoItsIncident) {
    Build(nullptr, nullptr);
    WriteIni({.An = "", .NeueMail = false, .Sichter = Reviewer->Address()});
    Journal("Deich bricht", "Bitte Sandsäcke an den Nordpegel.");

    // The entry reaches the person's mailbox.
    Cycle();
    const auto sent = Person->Mails(1);
    ASSERT_EQ(sent.size(), 1u) << LogText();
    EXPECT_EQ(Subject(sent[0]), "Deich bricht (#5)");
    EXPECT_HAS(BodyText(sent[0]), "Bitte Sandsäcke an den Nordpegel.");
    EXPECT_EQ(Db->Rows("SELECT DIRAVID_STATUS FROM LF_NACHRICHTEN"), std::vector<std::string>{"1"});

    // The person answers with a plan attached ("Lageplan" as PDF bytes).
    const std::string planBase64 = "JVBERi0xLjQKTGFnZXBsYW4K";
    const std::string planBytes = "%PDF-1.4\nLageplan\n";
    Person->SendTo(Service->Address(), ReplyWithAttachment(Person->Address(), Service->Address(),
                                                           "AW: Deich bricht (#5)", "Sandsäcke sind unterwegs.",
                                                           "lageplan.pdf", planBase64));
    ASSERT_EQ(Service->Mails(1).size(), 1u);

    // The next cycle files it into incident 5 (not into the other active
    // one) with its attachment, and takes it out of the mailbox.
    Cycle();
    EXPECT_EQ(Db->Rows("SELECT LAGE, VON, BETREFF, ART, ANLAGE FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'"),
              std::vector<std::string>{"5\t" + Person->Address() + "\tMaileingang\tE-Mail\t1"})
        << LogText();
    EXPECT_EQ(FiledSubjects(), std::vector<std::string>{"Deich bricht (#5)"});
    const auto filedText = Db->Rows("SELECT INHALT FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'");
    ASSERT_EQ(filedText.size(), 1u);
    EXPECT_HAS(filedText[0], "Sandsäcke sind unterwegs.");
    const auto paths = Db->Rows("SELECT LAGE, FILENAME, PFAD FROM LF_NACHRICHTEN_ANLAGEN");
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0].rfind("5\tlageplan.pdf\t", 0), 0u) << paths[0];
    std::string stored = paths[0].substr(paths[0].rfind('\t') + 1);
    std::replace(stored.begin(), stored.end(), '\\', '/');
    EXPECT_EQ(testing::ReadFile(stored), planBytes) << stored;
    EXPECT_EQ(Db->Rows("SELECT EMPFAENGER, `STATUS`, DIRAVID_STATUS FROM LF_NACHRICHTEN_EMPF"),
              std::vector<std::string>{Reviewer->Address() + "\tUngelesen\tNULL"});
    EXPECT_TRUE(Service->Uids().empty());

    // The cycle after that mails the filed entry, attachment and all, to
    // the reviewer; the person gets nothing more (NeueMail is off).
    Cycle();
    const auto reviewed = Reviewer->Mails(1);
    ASSERT_EQ(reviewed.size(), 1u) << LogText();
    EXPECT_EQ(Subject(reviewed[0]), "Maileingang (#5)");
    EXPECT_HAS(BodyText(reviewed[0]), "Sandsäcke sind unterwegs.");
    const auto attached = testing::MailAttachments(reviewed[0]);
    ASSERT_EQ(attached.size(), 1u);
    EXPECT_EQ(attached[0].first, "lageplan.pdf");
    EXPECT_EQ(attached[0].second, planBytes);
    EXPECT_EQ(Db->Rows("SELECT `STATUS`, DIRAVID_STATUS, ERLEDIGT_USER FROM LF_NACHRICHTEN_EMPF"),
              std::vector<std::string>{"Erledigt\t1\tDiraVid"});

    // Nothing is done twice.
    Cycle();
    EXPECT_EQ(Person->Mails(1, std::chrono::milliseconds{0}).size(), 1u);
    EXPECT_EQ(Reviewer->Mails(1, std::chrono::milliseconds{0}).size(), 1u);
    EXPECT_EQ(FiledSubjects().size(), 1u);
}

// The loop guard: with NeueMail on and An the service's own mailbox a filed
// mail goes out once, comes back once and is turned away by its X-Loop header.
TEST_F(EndToEnd, OwnMailComingBackIsTurnedAwayNotFiledAgain) {
    Build(nullptr, nullptr);
    WriteIni({.An = Service->Address(), .NeueMail = true, .Sichter = ""});
    Service->Append(PlainMail(Person->Address(), Service->Address(), "Pegel 4,20 m (#5)", "Steigt weiter."));

    Cycle();  // files it
    ASSERT_EQ(FiledSubjects(), std::vector<std::string>{"Pegel 4,20 m (#5)"}) << LogText();
    const std::string turnedAway =
        "Hinweis   | Nachricht von " + Service->Address() + " Betreff Maileingang (#5) wird nicht übernommen";
    // The next cycle mails the filed entry to the service's own mailbox; the
    // same cycle's pass may already meet it, or a later one once Postfix has
    // delivered it. Two more cycles show that it does not come round again.
    for (int cycle = 0; cycle < 5 && CountLinesWith(AllLogEntries(), turnedAway) == 0; ++cycle) {
        if (cycle > 0) std::this_thread::sleep_for(std::chrono::milliseconds{500});
        Cycle();
    }
    Cycle();
    Cycle();

    EXPECT_EQ(FiledSubjects(), std::vector<std::string>{"Pegel 4,20 m (#5)"}) << LogText();
    EXPECT_TRUE(Service->Uids().empty()) << LogText();
    const auto lines = AllLogEntries();
    EXPECT_EQ(CountLinesWith(lines, "versendet!"), 1u) << LogText();
    EXPECT_EQ(CountLinesWith(lines, turnedAway), 1u) << LogText();
}

// ---------------------------------------------------------------------------
// An operator's worst night: the program killed at random moments, over and
// over, while it files mails with and without attachments; then run until
// the mailbox is empty. Every mail must be filed once and whole. The round's
// size can be raised for a run by hand (DIRAVID_KILL_ROUND_MAILS,
// DIRAVID_KILL_ROUND_KILLS).

int EnvCount(const char* name, int fallback) {
    const std::string value = testing::Env(name);
    return value.empty() ? fallback : std::stoi(value);
}

// Bytes that differ from mail to mail.
std::string AttachmentBytes(int mail) {
    std::string bytes(static_cast<std::size_t>(200 * 1024 + mail * 13 * 1024), '\0');
    std::uint32_t x = static_cast<std::uint32_t>(mail) * 2654435761u + 7;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

std::string Base64(const std::string& bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
        if (i % 57 == 54) out += "\r\n";
    }
    return out;
}

TEST_F(EndToEnd, KilledAtRandomWhileFilingEveryMailEndsFiledOnceAndWhole) {
    const int mails = EnvCount("DIRAVID_KILL_ROUND_MAILS", 50);
    const int kills = EnvCount("DIRAVID_KILL_ROUND_KILLS", 20);
    Build(nullptr, nullptr);
    const auto subject = [](int i) { return "Meldung " + std::to_string(i) + " (#5)"; };
    const auto withAttachment = [](int i) { return i % 3 == 0; };
    for (int i = 1; i <= mails; ++i) {
        Service->Append(withAttachment(i)
                            ? ReplyWithAttachment(Person->Address(), Service->Address(), subject(i), "Text " +
                                                  std::to_string(i), "anhang" + std::to_string(i) + ".bin",
                                                  Base64(AttachmentBytes(i)))
                            : PlainMail(Person->Address(), Service->Address(), subject(i),
                                        "Text " + std::to_string(i)));
    }

    // Each kill strikes a random moment after the run began to file: the
    // start of a run takes most of its time and would hide the window.
    std::mt19937 random(20240129);
    std::uniform_int_distribution<int> delay(0, 200);
    int struck = 0;
    int started = 0;
    for (; started < kills && !Service->Uids().empty(); ++started) {
        const auto running = StartCycle();
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds{30};
        while (CountLinesWith(Home.LogEntries(), "wird ausgewertet.") == 0 &&
               CountLinesWith(Home.LogEntries(), "KorvaneDiraVid beendet.") == 0 &&
               std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds{5});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds{delay(random)});
        running->Signal(SIGKILL);
        if (running->Finish().ExitCode == -1) ++struck;
    }
    // At least one normal run after the last kill, as the service would make:
    // it also clears what the killed runs left in temp/.
    int cycles = 0;
    do {
        Cycle();
        ++cycles;
    } while (!Service->Uids().empty() && cycles < 5);

    int filedOnce = 0;
    int lost = 0;
    int twice = 0;
    int attachmentsWhole = 0;
    std::string which;
    for (int i = 1; i <= mails; ++i) {
        const auto ids = Db->Rows("SELECT ID FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' AND INHALT LIKE '" +
                                  subject(i) + "\r%'");
        if (ids.empty()) ++lost, which += "lost: " + subject(i) + "; ";
        if (ids.size() > 1) ++twice, which += "twice: " + subject(i) + "; ";
        if (ids.size() != 1) continue;
        ++filedOnce;
        const auto rows = Db->Rows("SELECT FILENAME, PFAD FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + ids[0]);
        if (!withAttachment(i)) {
            if (!rows.empty()) which += "attachment rows without attachment: " + subject(i) + "; ";
            continue;
        }
        const std::string name = "anhang" + std::to_string(i) + ".bin\t";
        if (rows.size() == 1 && rows[0].rfind(name, 0) == 0 &&
            testing::ReadFile(testing::LocalStoredPath(rows[0].substr(name.size()))) == AttachmentBytes(i)) {
            ++attachmentsWhole;
        } else {
            which += "attachment not whole: " + subject(i) + "; ";
        }
    }
    const auto entries = AllLogEntries();
    std::cout << "[ figures  ] " << started << " kills (" << struck << " while running), " << mails << " mails: "
              << filedOnce << " filed once, " << lost << " lost, " << twice << " filed twice; attachments "
              << attachmentsWhole << " of " << mails / 3 << " whole; " << CountLinesWith(entries, "die Ablage wird vervollständigt")
              << " filings completed, " << CountLinesWith(entries, "wurde schon abgelegt und wird nur noch gelöscht")
              << " mails only deleted; " << cycles << " further cycle(s)\n";
    EXPECT_GE(struck, started / 2) << "most kills must meet a running program";
    EXPECT_GE(started, kills / 2) << "the mails were filed before most kills came";
    EXPECT_TRUE(Service->Uids().empty()) << LogText();
    EXPECT_EQ(filedOnce, mails) << which;
    EXPECT_EQ(attachmentsWhole, mails / 3) << which;
    EXPECT_TRUE(which.empty()) << which;
    EXPECT_EQ(testing::FiledWholeFaults(*Db, Home / "Anlagen", Home.Path()), std::vector<std::string>{});
}

// ---------------------------------------------------------------------------
// Faults. Each case has the service work through kRows journal rows and
// kMails incoming mails, hurts it once, lets it run until nothing is left,
// and counts what arrived where.

constexpr int kRows = 40;
constexpr int kMails = 40;
// The fault strikes after this many mails of the phase were handled.
constexpr std::size_t kStrikeAfter = 10;

enum class TPhase { BeforeCycle, WhileMailing, WhileFiling };

class EndToEndFault;

struct TFaultCase {
    const char* name;
    bool privateDb;
    bool privateMail;
    TPhase phase;
    std::function<void(EndToEndFault&)> strike;
    std::function<void(EndToEndFault&)> mend;  // after the cycle that was hurt
};

void PrintTo(const TFaultCase& c, std::ostream* out) {
    *out << c.name;
}

// What one fault did: each figure counts mails or rows.
struct TFigures {
    int rowsLost = 0;
    int rowsSentTwice = 0;
    int mailsLost = 0;
    int mailsFiledTwice = 0;
    // Copies in Fehler/ of mails whose filing failed while a server was away;
    // the mails themselves stayed in the mailbox and were filed later.
    int mailsKept = 0;
    std::string which;  // the subjects behind the lost and doubled figures
};

std::ostream& operator<<(std::ostream& out, const TFigures& f) {
    return out << "journal rows: " << f.rowsLost << " lost, " << f.rowsSentTwice
               << " sent twice; incoming mails: " << f.mailsLost << " lost, " << f.mailsFiledTwice
               << " filed twice, " << f.mailsKept << " kept in Fehler/"
               << (f.which.empty() ? "" : "; " + f.which.substr(0, f.which.size() - 2));
}

class EndToEndFault : public EndToEnd, public ::testing::WithParamInterface<TFaultCase> {
public:
    std::optional<testing::TPrivateDbServer> PrivateDb;
    std::optional<testing::TPrivateMailSandbox> PrivateMail;
    std::unique_ptr<testing::TRunningProgram> Running;

protected:
    std::string RowSubject(int i) const { return "Zeile " + std::to_string(i) + " (#5)"; }
    std::string MailSubject(int i) const { return "Meldung " + std::to_string(i) + " (#5)"; }

    void Fill() {
        for (int i = 1; i <= kRows; ++i) Journal("Zeile " + std::to_string(i), "Text " + std::to_string(i));
        for (int i = 1; i <= kMails; ++i) {
            Service->Append(PlainMail(Person->Address(), Service->Address(), MailSubject(i),
                                      "Meldung Nummer " + std::to_string(i)));
        }
    }

    // Waits until the log shows `count` lines with `marker` or the run ended;
    // gives the number seen.
    std::size_t WaitForLog(const std::string& marker, std::size_t count) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds{90};
        for (;;) {
            const auto lines = Home.LogEntries();
            const std::size_t seen = CountLinesWith(lines, marker);
            if (seen >= count || CountLinesWith(lines, "KorvaneDiraVid beendet.") > 0 ||
                std::chrono::steady_clock::now() > until) {
                return seen;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds{10});
        }
    }

    bool Settled() const {
        return Db->Rows("SELECT ID FROM LF_NACHRICHTEN WHERE DIRAVID_STATUS IS NULL AND ADD_USER<>'DiraVid'")
                   .empty() &&
               Service->Uids().empty();
    }

    TFigures Count() const {
        TFigures f;
        std::map<std::string, int> sent;
        for (const std::string& raw : Person->Mails(kRows, std::chrono::seconds{30})) ++sent[Subject(raw)];
        for (int i = 1; i <= kRows; ++i) {
            const int n = sent[RowSubject(i)];
            if (n == 0) ++f.rowsLost, f.which += "lost: " + RowSubject(i) + "; ";
            if (n > 1) f.rowsSentTwice += n - 1, f.which += "sent twice: " + RowSubject(i) + "; ";
        }
        std::map<std::string, int> filed;
        for (const std::string& subject : FiledSubjects()) ++filed[subject];
        for (int i = 1; i <= kMails; ++i) {
            const int n = filed[MailSubject(i)];
            if (n == 0) ++f.mailsLost, f.which += "lost: " + MailSubject(i) + "; ";
            if (n > 1) f.mailsFiledTwice += n - 1, f.which += "filed twice: " + MailSubject(i) + "; ";
        }
        if (std::filesystem::is_directory(Home / "Fehler")) {
            const std::filesystem::directory_iterator kept(Home / "Fehler");
            f.mailsKept = static_cast<int>(std::distance(begin(kept), end(kept)));
        }
        return f;
    }
};

TEST_P(EndToEndFault, NothingLostNothingFiledTwiceAtMostOneMailInFlightSentTwice) {
    const TFaultCase& c = GetParam();
    if (c.privateDb) PrivateDb.emplace();
    if (c.privateMail) PrivateMail.emplace();
    Build(c.privateDb ? &PrivateDb->Info() : nullptr, c.privateMail ? &PrivateMail->Info() : nullptr);
    Fill();

    // The hurt cycle.
    std::size_t doneWhenStruck = 0;
    if (c.phase == TPhase::BeforeCycle) {
        c.strike(*this);
        Cycle();
    } else {
        Running = StartCycle();
        const bool mailing = c.phase == TPhase::WhileMailing;
        doneWhenStruck = WaitForLog(mailing ? "versendet!" : "wird ausgewertet.", kStrikeAfter);
        c.strike(*this);
        Running->Finish();
        // Struck in the middle: work of the phase was done and some was left.
        EXPECT_GE(doneWhenStruck, kStrikeAfter) << LogText();
        EXPECT_LT(doneWhenStruck, static_cast<std::size_t>(mailing ? kRows : kMails)) << LogText();
    }
    if (c.mend) c.mend(*this);

    // Started again until everything is through.
    int cycles = 0;
    while (!Settled() && cycles < 4) {
        Cycle();
        ++cycles;
    }
    const TFigures f = Count();
    std::cout << "[ figures  ] " << c.name << ": struck after " << doneWhenStruck << "; " << f << "; "
              << cycles << " further cycle(s)\n";
    EXPECT_TRUE(Settled()) << LogText();
    EXPECT_EQ(f.rowsLost, 0) << LogText();
    EXPECT_LE(f.rowsSentTwice, 1) << LogText();
    EXPECT_EQ(f.mailsLost, 0) << LogText();
    EXPECT_EQ(f.mailsFiledTwice, 0) << LogText();
}

INSTANTIATE_TEST_SUITE_P(
    Table, EndToEndFault,
    ::testing::Values(
        TFaultCase{"DatabaseRestartedWhileMailing", true, false, TPhase::WhileMailing,
                   [](EndToEndFault& r) { r.PrivateDb->Restart(); }, {}},
        TFaultCase{"DatabaseRestartedWhileFiling", true, false, TPhase::WhileFiling,
                   [](EndToEndFault& r) { r.PrivateDb->Restart(); }, {}},
        TFaultCase{"DovecotRestartedWhileFiling", false, true, TPhase::WhileFiling,
                   [](EndToEndFault& r) { r.PrivateMail->Restart("dovecot"); }, {}},
        TFaultCase{"PostfixStoppedForACycle", false, true, TPhase::BeforeCycle,
                   [](EndToEndFault& r) { r.PrivateMail->StopPostfix(); },
                   [](EndToEndFault& r) { r.PrivateMail->Restart("postfix"); }},
        TFaultCase{"KilledWhileMailing", false, false, TPhase::WhileMailing,
                   [](EndToEndFault& r) { r.Running->Signal(SIGKILL); }, {}},
        TFaultCase{"KilledWhileFiling", false, false, TPhase::WhileFiling,
                   [](EndToEndFault& r) { r.Running->Signal(SIGKILL); }, {}}),
    [](const ::testing::TestParamInfo<TFaultCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
