// The program ended at each step of filing a mail (as a kill or a power cut
// would end it), over POP3, over IMAP and while importing a file, and run
// once more normally: the mail is then filed exactly once into every
// incident, with its reply link, its reviewer row and its attachments, each
// file byte for byte, and nothing is left over.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "incoming/filing_fault_point.h"
#include "platform/sha256.h"
#include "service/filed_whole.h"
#include "support/db_test_server.h"
#include "support/mail_sandbox.h"
#include "support/run_program.h"
#include "support/service_home.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

std::string Base64Lines(const std::string& bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t inLine = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = (v << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
        if ((inLine += 4) == 76) {
            out += "\r\n";
            inLine = 0;
        }
    }
    return out + "\r\n";
}

// Bytes that no two attachments share and that no text decoding leaves alone.
std::string Bytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    std::uint32_t x = seed * 2654435761u + 1;
    for (char& c : bytes) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<char>(x >> 24);
    }
    return bytes;
}

// The plan is larger than one block of the attachment copy, so a process
// ended after the first block leaves a short file behind.
const std::string kPlan = Bytes(1536 * 1024, 1);
const std::string kFoto = Bytes(3000, 2);

// Answers message 17 of its incident, for the reply link.
std::string Mail() {
    return "From: hans@example.org\r\nTo: leitstelle@example.org\r\nSubject: Lagemeldung @17 Nachtrag\r\n"
           "Message-ID: <unterbrochen@example.org>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"g\"\r\n\r\n"
           "--g\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nPegel steigt.\r\n"
           "--g\r\nContent-Type: application/pdf\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"plan.pdf\"\r\n\r\n" +
           Base64Lines(kPlan) +
           "--g\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"foto.jpg\"\r\n\r\n" +
           Base64Lines(kFoto) + "--g--\r\n";
}

enum class TRoad { Pop3, Imap, Import };

struct TStepCase {
    std::string name;
    // The value of the fault point's variable: the step, and which time.
    std::string step;
    // The import's line for the file after the run that finished it.
    std::string imported;
};

struct TInterruptCase {
    TRoad road;
    TStepCase step;
};

const std::string kFirstCut = "abgelegt in Lage 6; vervollständigt in Lage 5";
const std::string kSecondCut = "vervollständigt in Lage 6; schon abgelegt in Lage 5, nichts hinzugefügt";

// Incident 5 is filed first, then 6; within each, plan.pdf, then foto.jpg.
const TStepCase kSteps[] = {
    {"MessageRowOfFirstIncident", "nachricht", kFirstCut},
    {"FirstAttachmentHalfWritten", "anhang-teil", kFirstCut},
    {"FirstAttachmentFileWithoutRow", "anhang-datei", kFirstCut},
    {"SecondAttachmentFileWithoutRow", "anhang-datei:2", kFirstCut},
    {"AttachmentRowNotYetFlagged", "anhang-zeile", kFirstCut},
    {"ReplyLinkSet", "bezug", kFirstCut},
    {"ReviewerRowInserted", "sichter", kFirstCut},
    {"FirstIncidentWholeSecondNotBegun", "abgeschlossen",
     "abgelegt in Lage 6; schon abgelegt in Lage 5, nichts hinzugefügt"},
    {"MessageRowOfSecondIncident", "nachricht:2", kSecondCut},
    {"SecondIncidentsLastAttachmentFile", "anhang-datei:4", kSecondCut},
    {"SecondIncidentsReviewerRow", "sichter:2", kSecondCut},
    // Filed whole and noted in the mailbox record, not yet deleted.
    {"NotedButNotDeleted", "vermerkt", ""},
};

void PrintTo(const TInterruptCase& c, std::ostream* out) { *out << c.step.name << " (" << c.step.step << ")"; }

std::vector<TInterruptCase> Cases() {
    std::vector<TInterruptCase> cases;
    for (const TRoad road : {TRoad::Pop3, TRoad::Imap, TRoad::Import}) {
        for (const TStepCase& step : kSteps) {
            if (road == TRoad::Import && step.step == "vermerkt") continue;
            cases.push_back({road, step});
        }
    }
    return cases;
}

std::string CaseName(const ::testing::TestParamInfo<TInterruptCase>& info) {
    const char* road = info.param.road == TRoad::Pop3 ? "Pop3" : info.param.road == TRoad::Imap ? "Imap" : "Import";
    return std::string(road) + "_" + info.param.step.name;
}

class FilingInterrupted : public ::testing::TestWithParam<TInterruptCase> {
protected:
    void SetUp() override {
        KDV_REQUIRE_DB_SERVER();
        KDV_REQUIRE_MAIL_SANDBOX();
        Db.emplace(CurrentTestName());
        std::filesystem::create_directories(Attachments());
        Db->Sql("INSERT INTO LF_LAGEN (ID, `NAME`, AKTIV, DAUERLAGE) VALUES (5, 'Deichbruch', 1, 0), "
                "(6, 'Waldbrand', 1, 0);"
                "INSERT INTO LF_NACHRICHTEN (NUMMER, LAGE, ADD_USER, BETREFF, DIRAVID_STATUS) VALUES "
                "(17, 5, 'Leitstelle', 'Start', 1), (17, 6, 'Leitstelle', 'Start', 1);"
                "INSERT INTO OPTIONEN (`NAME`, WERT) VALUES ('LF_NR_PATH', '" +
                Attachments().string() + "');");
        const TMailSandboxInfo& mail = *SharedMailSandbox();
        Box.emplace(mail, "cut");
        const bool pop3 = GetParam().road == TRoad::Pop3;
        const bool imap = GetParam().road == TRoad::Imap;
        Home.WriteIni(&*Db, "[POP3]\nAktiv=" + std::string(pop3 ? "1" : "0") + "\nHost=" + mail.Host() +
                                "\nPort=" + mail.Get("DIRAVID_POP3_PORT") + "\nUsername=" + Box->Name() +
                                "\nPasswort=" + Box->Password() + "\n[IMAP]\nAktiv=" + (imap ? "1" : "0") +
                                "\nHost=" + mail.Host() + "\nPort=" + mail.Get("DIRAVID_IMAP_PORT") +
                                "\nUsername=" + Box->Name() + "\nPasswort=" + Box->Password() +
                                "\n[Mail]\nNeuNachricht=0\n[Maileingang]\nSichter=Sichtung\n"
                                "[Verbindung]\nZeitlimit=10\n");
    }

    std::filesystem::path Attachments() const { return Home / "Anlagen"; }

    TProgramResult Run(const std::vector<std::string>& args, const std::string& step) {
        std::vector<std::string> all = {"--home", Home.Path().string()};
        all.insert(all.end(), args.begin(), args.end());
        return RunProgram(DIRAVID_BINARY, all, {{kHaltepunktVariable, step}});
    }

    std::string Log() const {
        std::string text = "\n--- log:\n";
        for (const std::string& line : Home.LogEntries()) text += line + "\n";
        return text;
    }

    TServiceHome Home;
    std::optional<TTestDatabase> Db;
    std::optional<TSandboxMailbox> Box;
};

TEST_P(FilingInterrupted, NextRunCompletesTheMailExactlyOnce) {
    const TInterruptCase& c = GetParam();
    const std::string mail = Mail();
    const auto file = Home / "eingang.eml";
    std::vector<std::string> args = {"--once"};
    if (c.road == TRoad::Import) {
        WriteFile(file, mail);
        args = {"--import", file.string()};
    } else {
        Box->Append(mail);
    }

    const TProgramResult cut = Run(args, c.step.step);
    ASSERT_EQ(cut.ExitCode, kHaltepunktExitCode) << "the step was never reached\n" << cut.Stderr << Log();
    const TProgramResult next = Run(args, "");
    ASSERT_EQ(next.ExitCode, 0) << next.Stdout << next.Stderr << Log();
    if (c.road == TRoad::Import) {
        EXPECT_EQ(next.Stdout, file.string() + ": " + c.step.imported + "\n") << Log();
    } else {
        EXPECT_TRUE(Box->Uids().empty()) << Log();
    }

    // One message per incident, linked, flagged, marked whole, with its
    // reviewer row and both attachments.
    const auto messages =
        Db->Rows("SELECT LAGE, ID, BEZUG, ERSTBEZUG, ANLAGE, LENGTH(DIRAVID_MAIL), LEFT(DIRAVID_MAIL, 1)='~', "
                 "DIRAVID_STATUS FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid' ORDER BY LAGE");
    ASSERT_EQ(messages.size(), 2u) << Log();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const std::string lage = i == 0 ? "5" : "6";
        const std::string id = messages[i].substr(2, messages[i].find('\t', 2) - 2);
        EXPECT_EQ(messages[i], lage + "\t" + id + "\t17\t17\t1\t64\t0\tNULL") << Log();
        EXPECT_EQ(Db->Rows("SELECT EMPFAENGER FROM LF_NACHRICHTEN_EMPF WHERE NACHRICHT=" + id),
                  std::vector<std::string>{"Sichtung"});
        const auto rows = Db->Rows("SELECT LAGE, FILENAME, PFAD FROM LF_NACHRICHTEN_ANLAGEN WHERE NACHRICHT=" + id +
                                   " ORDER BY ID");
        ASSERT_EQ(rows.size(), 2u) << Log();
        const std::pair<const char*, const std::string*> expected[] = {{"plan.pdf", &kPlan}, {"foto.jpg", &kFoto}};
        for (std::size_t a = 0; a < 2; ++a) {
            const std::string head = lage + "\t" + expected[a].first + "\t";
            ASSERT_EQ(rows[a].substr(0, head.size()), head);
            EXPECT_TRUE(ReadFile(LocalStoredPath(rows[a].substr(head.size()))) == *expected[a].second)
                << rows[a] << " is not the attachment byte for byte";
        }
    }
    if (c.road == TRoad::Import) {
        TSha256 hash;
        hash.Update(mail);
        EXPECT_EQ(Db->Rows("SELECT DISTINCT DIRAVID_MAIL FROM LF_NACHRICHTEN WHERE ADD_USER='DiraVid'"),
                  std::vector<std::string>{hash.FinishHex()});
    }
    EXPECT_EQ(FiledWholeFaults(*Db, Attachments(), Home.Path()), std::vector<std::string>{}) << Log();
}

INSTANTIATE_TEST_SUITE_P(Steps, FilingInterrupted, ::testing::ValuesIn(Cases()), CaseName);

}  // namespace
}  // namespace kdv::testing
