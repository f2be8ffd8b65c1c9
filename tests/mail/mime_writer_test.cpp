#include "mail/byte_sink.h"
#include "mail/file_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_encoders.h"
#include "mail/mime_header_encoding.h"
#include "mail/mime_header_words.h"
#include "mail/mime_reader.h"
#include "mail/mime_writer.h"
#include "mail/stream_line_source.h"
#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace kdv {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using testing::ReadFile;
using testing::TTempDir;
using testing::WriteFile;

// Windows allows no quote in a file name; there the attachment's name
// carries it instead of the file's.
#ifdef _WIN32
constexpr bool kQuoteInFileNames = false;
#else
constexpr bool kQuoteInFileNames = true;
#endif

constexpr std::string_view kBoundary = "Qx7LmP2vRt9=_aZ4nW8cK1sYd6Hf3Jg0Ue";
static_assert(kBoundary.size() == kMimeBoundaryLength);

// 10 Dec 2026, 14:05:09 local time, one hour ahead of UTC.
LocalTime FixedNow() { return LocalTime{local_days{year{2026} / December / 10} + 14h + 5min + 9s}; }

class TFixedEnvironment final : public IMimeWriterEnvironment {
public:
    std::string NewBoundary() override {
        ++boundaries;
        return boundaries == 1 ? std::string(kBoundary) : "Inner" + std::to_string(boundaries) + "=_Boundary";
    }
    LocalTime Now() override { return FixedNow(); }
    minutes UtcOffset(LocalTime) override { return 60min; }
    THeaderEncoding HeaderEncoding() override { return encoding; }

    THeaderEncoding encoding{"UTF-8", 'B'};
    int boundaries = 0;
};

std::string Written(TMailMessage& message, bool dotStuff = false) {
    TFixedEnvironment environment;
    std::string out;
    TStringSink sink(out);
    TMailMessageWriter writer(sink, dotStuff, environment);
    writer.SendMsg(message);
    return out;
}

// The message as the dispatch fills it: sender and reply address without
// display name, recipients from a list text, one iso-8859-1 text part.
void FillLikeDispatch(TMailMessage& m, std::vector<std::string> body) {
    m.From().Address = "diravid@example.org";
    m.ReplyTo.SetEMailAddresses("diravid@example.org");
    m.Recipients.SetEMailAddresses("leitstelle@example.org, lage@example.org");
    m.Subject = "Pegelstand (#5)";
    m.SetEncoding(TMailEncoding::meMIME);
    TMailLines lines;
    for (const std::string& line : body) lines.push_back(line);
    m.MessageParts.AddText(std::move(lines)).SetContentType("text/plain; charset=iso-8859-1");
}

const std::vector<std::string> kDispatchBody = {
    "In der Lage \"Hochwasser Nord\" wurde von Einsatzleitung (Meier) um 10.12.2026 14:05:09 folgender "
    "Eintrag hinzugefügt: ",
    "",
    "Pegelstand  -  Vorrang: SOFORT:",
    "Der Pegel steigt.",
};

// The encoded form of kDispatchBody, each line ended by CR LF.
const std::string kDispatchBodyQP =
    "In der Lage \"Hochwasser Nord\" wurde von Einsatzleitung (Meier) um 10.1=\r\n"
    "2.2026 14:05:09 folgender Eintrag hinzugef=FCgt:=20\r\n"
    "\r\n"
    "Pegelstand  -  Vorrang: SOFORT:\r\n"
    "Der Pegel steigt.\r\n";

const std::string kDispatchHead =
    "From: \"diravid@example.org\" <diravid@example.org>\r\n"
    "Subject: Pegelstand (#5)\r\n"
    "To: leitstelle@example.org, lage@example.org\r\n";

// --- the two layouts, byte for byte -----------------------------------------

struct TLayoutCase;
void PrintTo(const TLayoutCase& c, std::ostream* os);
struct TLayoutCase {
    const char* name;
    std::function<void(TMailMessage&, const fs::path& dir)> fill;
    std::string expected;
};

const std::vector<TLayoutCase>& LayoutCases() {
    static const std::vector<TLayoutCase> cases = {
        {"TextOnlyIsSinglePart",
         [](TMailMessage& m, const fs::path&) { FillLikeDispatch(m, kDispatchBody); },
         kDispatchHead +
             "MIME-Version: 1.0\r\n"
             "Reply-To: diravid@example.org\r\n"
             "Date: Thu, 10 Dec 2026 14:05:09 +0100\r\n"
             "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n"
             "Content-Disposition: inline\r\n"
             "\r\n" +
             kDispatchBodyQP},
        {"TwoAttachmentsAreMultipartMixed",
         [](TMailMessage& m, const fs::path& dir) {
             FillLikeDispatch(m, kDispatchBody);
             WriteFile(dir / "messwerte.txt", "Messwerte 10 Uhr\r\n");
             WriteFile(dir / PathFromUtf8("Lageübersicht.pdf"), std::string("%PDF\0\xFF\x80\n", 8));
             m.MessageParts.AddAttachmentFile(dir / "messwerte.txt");
             m.MessageParts.AddAttachmentFile(dir / PathFromUtf8("Lageübersicht.pdf"));
         },
         kDispatchHead + "Content-Type: multipart/mixed; boundary=\"" + std::string(kBoundary) + "\"\r\n" +
             "MIME-Version: 1.0\r\n"
             "Reply-To: diravid@example.org\r\n"
             "Date: Thu, 10 Dec 2026 14:05:09 +0100\r\n"
             "\r\n"
             "This is a multi-part message in MIME format\r\n"
             "\r\n"
             "--" + std::string(kBoundary) + "\r\n"
             "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n"
             "Content-Disposition: inline\r\n"
             "\r\n" +
             kDispatchBodyQP + "\r\n" +
             "--" + std::string(kBoundary) + "\r\n"
             "Content-Type: text/plain;\r\n"
             "\tname=\"messwerte.txt\"\r\n"
             "Content-Transfer-Encoding: base64\r\n"
             "Content-Disposition: attachment;\r\n"
             "\tfilename=\"messwerte.txt\"\r\n"
             "\r\n"
             "TWVzc3dlcnRlIDEwIFVocg0K\r\n"
             "\r\n"
             "--" + std::string(kBoundary) + "\r\n"
             "Content-Type: application/pdf;\r\n"
             "\tname=\"=?UTF-8?B?TGFnZcO8YmVyc2ljaHQucGRm?=\"\r\n"
             "Content-Transfer-Encoding: base64\r\n"
             "Content-Disposition: attachment;\r\n"
             "\tfilename=\"=?UTF-8?B?TGFnZcO8YmVyc2ljaHQucGRm?=\"\r\n"
             "\r\n"
             "JVBERgD/gAo=\r\n"
             "\r\n"
             "--" + std::string(kBoundary) + "--\r\n"
             "\r\n"},
        // Message-ID, loop-protection headers and a UTF-8 text part: what the
        // dispatch adds to the plain layout.
        {"MessageIdAndExtraHeadersFollowTheDate",
         [](TMailMessage& m, const fs::path&) {
             FillLikeDispatch(m, {"Kosten: 5 €"});
             m.MessageParts[0].SetContentType("text/plain; charset=utf-8");
             m.MsgId = "<a1b2c3.42@example.org>";
             m.ExtraHeaders.SetValue("Auto-Submitted", "auto-generated");
             m.ExtraHeaders.SetValue("X-Loop", "diravid@example.org");
         },
         kDispatchHead +
             "MIME-Version: 1.0\r\n"
             "Reply-To: diravid@example.org\r\n"
             "Date: Thu, 10 Dec 2026 14:05:09 +0100\r\n"
             "Message-ID: <a1b2c3.42@example.org>\r\n"
             "Auto-Submitted: auto-generated\r\n"
             "X-Loop: diravid@example.org\r\n"
             "Content-Type: text/plain; charset=\"utf-8\"\r\n"
             "Content-Transfer-Encoding: quoted-printable\r\n"
             "Content-Disposition: inline\r\n"
             "\r\n"
             "Kosten: 5 =E2=82=AC\r\n"},
    };
    return cases;
}

class MimeWriterLayout : public ::testing::TestWithParam<TLayoutCase> {};

TEST_P(MimeWriterLayout, WritesTheMessageByteForByte) {
    TTempDir dir("diravid-writer");
    TMailMessage message;
    GetParam().fill(message, dir.Path());
    EXPECT_EQ(Written(message), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Layouts, MimeWriterLayout, ::testing::ValuesIn(LayoutCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- edge cases: the lines that must appear ---------------------------------

struct TEdgeCase;
void PrintTo(const TEdgeCase& c, std::ostream* os);
struct TEdgeCase {
    const char* name;
    std::function<void(TMailMessage&, const fs::path& dir)> fill;
    std::vector<std::string> present;  // each must occur in the output
    std::vector<std::string> absent = {};
};

void TextMessage(TMailMessage& m, std::vector<std::string> body) { FillLikeDispatch(m, std::move(body)); }

const std::vector<TEdgeCase>& EdgeCases() {
    static const std::vector<TEdgeCase> cases = {
        {"UmlautSubjectIsBase64EncodedWordInUtf8",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Subject = "Übung für Straße";
         },
         {"\r\nSubject: =?UTF-8?B?w5xidW5nIGbDvHIgU3RyYcOfZQ==?=\r\n"}},
        {"AsciiSubjectIsUnchanged",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Subject = "Lage (#5): Stand 10:00";
         },
         {"\r\nSubject: Lage (#5): Stand 10:00\r\n"}},
        {"OnlyTheNonAsciiWordsAreEncoded",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Subject = "AW: Übung (#5)";
         },
         {"\r\nSubject: AW: =?UTF-8?B?w5xidW5n?= (#5)\r\n"}},
        {"AsciiLookingLikeEncodedWordIsEncoded",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Subject = "=?UTF-8?Q?x?=";
         },
         {"\r\nSubject: =?UTF-8?B?PT9VVEYtOD9RP3g/PQ==?=\r\n"}},
        {"SenderWithoutDisplayNameIsQuotedAddress",
         [](TMailMessage& m, const fs::path&) { TextMessage(m, {"x"}); },
         {"From: \"diravid@example.org\" <diravid@example.org>\r\n"}},
        {"DisplayNamesAreQuotedOrEncoded",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Recipients.SetEMailAddresses("\"Meier, Hans\" <hm@example.org>, \"Jürgen Müller\" <jm@example.org>");
         },
         {"\r\nTo: \"Meier, Hans\" <hm@example.org>, =?UTF-8?B?SsO8cmdlbiBNw7xsbGVy?=\r\n <jm@example.org>\r\n"}},
        {"QuoteAndBackslashInDisplayNameAreEscaped",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Recipients.Clear();
             m.Recipients.Add() = TMailEMailAddressItem("a@example.org", "Leit \"Nord\" \\ Stab");
         },
         {"\r\nTo: \"Leit \\\"Nord\\\" \\\\ Stab\" <a@example.org>\r\n"}},
        {"BodyLineStartingWithDotBecomesEqualsTwoE",
         [](TMailMessage& m, const fs::path&) { TextMessage(m, {".Punkt", "."}); },
         {"\r\n\r\n=2EPunkt\r\n=2E\r\n"}},
        {"BodyLineEndingInBlankEndsInEqualsTwenty",
         [](TMailMessage& m, const fs::path&) { TextMessage(m, {"Ende ", "Tab\t"}); },
         {"\r\nEnde=20\r\nTab=09\r\n"}},
        {"HundredCharacterLineGetsOneSoftBreak",
         [](TMailMessage& m, const fs::path&) { TextMessage(m, {std::string(100, 'a')}); },
         {"\r\n" + std::string(70, 'a') + "=\r\n" + std::string(30, 'a') + "\r\n"}},
        {"EmptyAttachmentHasHeadersAndNoBase64Line",
         [](TMailMessage& m, const fs::path& dir) {
             TextMessage(m, {"x"});
             WriteFile(dir / "leer.bin", "");
             m.MessageParts.AddAttachmentFile(dir / "leer.bin");
         },
         {"Content-Type: application/octet-stream;\r\n\tname=\"leer.bin\"\r\n"
          "Content-Transfer-Encoding: base64\r\n"
          "Content-Disposition: attachment;\r\n\tfilename=\"leer.bin\"\r\n\r\n\r\n--" +
          std::string(kBoundary) + "--\r\n\r\n"}},
        {"NonAsciiFileNameIsEncodedWordInQuotes",
         [](TMailMessage& m, const fs::path& dir) {
             TextMessage(m, {"x"});
             WriteFile(dir / PathFromUtf8("Übung.txt"), "u");
             m.MessageParts.AddAttachmentFile(dir / PathFromUtf8("Übung.txt"));
         },
         {"\tname=\"=?UTF-8?B?w5xidW5nLnR4dA==?=\"\r\n", "\tfilename=\"=?UTF-8?B?w5xidW5nLnR4dA==?=\"\r\n"}},
        {"FileNameQuoteIsEscaped",
         [](TMailMessage& m, const fs::path& dir) {
             TextMessage(m, {"x"});
             const fs::path file = dir / (kQuoteInFileNames ? "a\"b.txt" : "ab.txt");
             WriteFile(file, "u");
             auto& part = m.MessageParts.AddAttachmentFile(file);
             if (!kQuoteInFileNames) part.FileName = "a\"b.txt";
         },
         {"\tfilename=\"a\\\"b.txt\"\r\n"}},
        {"EuroInIsoTextPartBecomesQuestionMark",
         [](TMailMessage& m, const fs::path&) { TextMessage(m, {"5 € Gebühr"}); },
         {"\r\n5 ? Geb=FChr\r\n"}},
        {"TextPartWithoutCharsetAndNonAsciiIsDeclaredUtf8",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"5 €"});
             m.MessageParts[0].SetContentType("text/plain");
             m.MessageParts[0].CharSet.clear();
         },
         {"Content-Type: text/plain; charset=\"UTF-8\"\r\n", "\r\n5 =E2=82=AC\r\n"}},
        {"HeaderCharactersOutsideAsciiBecomeQuestionMarks",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.ExtraHeaders.SetValue("X-Ort", "Köln");
         },
         {"\r\nX-Ort: K?ln\r\n"}},
        {"ValueWithLineBreakCannotAddAHeader",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Subject = "Lage\r\nBcc: alle@example.org";
         },
         {"\r\nSubject: Lage Bcc: alle@example.org\r\n"},
         {"\r\nBcc:"}},
        {"RawExtraLineWithLineBreakStaysOneLine",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.ExtraHeaders.Add("X-Roh: a\r\nBcc: alle@example.org");
         },
         {"\r\nX-Roh: a  Bcc: alle@example.org\r\n"},
         {"\r\nBcc:"}},
        {"BccIsNeverWritten",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.BccList.SetEMailAddresses("geheim@example.org");
         },
         {"\r\nTo: "},
         {"geheim"}},
        {"TwoTextPartsAreMultipartAlternative",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.MessageParts.AddText({"<p>x</p>"}).SetContentType("text/html; charset=utf-8");
         },
         {"Content-Type: multipart/alternative;\r\n boundary=\"" + std::string(kBoundary) + "\"\r\n",
          "Content-Type: text/html; charset=\"utf-8\"\r\n"}},
        {"NestedMultipartIsClosedBeforeTheNextTopLevelPart",
         [](TMailMessage& m, const fs::path& dir) {
             TextMessage(m, {});
             m.MessageParts.Clear();
             m.MessageParts.AddText({"alt"}).SetContentType("multipart/alternative");
             TMailText& plain = m.MessageParts.AddText({"plain"});
             plain.ParentPart = 0;
             TMailText& html = m.MessageParts.AddText({"<b>html</b>"});
             html.SetContentType("text/html");
             html.ParentPart = 0;
             WriteFile(dir / "a.bin", "A");
             m.MessageParts.AddAttachmentFile(dir / "a.bin");
         },
         {"--" + std::string(kBoundary) + "\r\nContent-Type: multipart/alternative;\r\n\tboundary=\"Inner2=_Boundary\"\r\n\r\n"
          "--Inner2=_Boundary\r\nContent-Type: text/plain\r\n",
          "\r\n<b>html</b>\r\n\r\n--Inner2=_Boundary--\r\n\r\n--" + std::string(kBoundary) +
              "\r\nContent-Type: application/octet-stream;\r\n",
          "\r\nQQ==\r\n\r\n--" + std::string(kBoundary) + "--\r\n\r\n"}},
        {"PriorityHeadersOnlyWhenNotNormal",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Priority = TMailPriority::mpHighest;
         },
         {"\r\nPriority: urgent\r\nX-Priority: 1\r\nImportance: high\r\n"}},
        {"SetDateIsWrittenInsteadOfNow",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {"x"});
             m.Date = LocalTime{local_days{year{2003} / July / 1} + 9h + 2min + 3s};
         },
         {"\r\nDate: Tue, 1 Jul 2003 09:02:03 +0100\r\n"}},
        {"EightBitTextIsDotStuffedOnly",
         [](TMailMessage& m, const fs::path&) {
             TextMessage(m, {".", ".. zwei", "ä"});
             m.MessageParts[0].SetContentType("text/plain; charset=utf-8");
             m.MessageParts[0].SetContentTransfer("7bit");
         },
         {"Content-Transfer-Encoding: 8bit\r\n", "\r\n\r\n..\r\n... zwei\r\n\xC3\xA4\r\n"}},
    };
    return cases;
}

class MimeWriterEdge : public ::testing::TestWithParam<TEdgeCase> {};

TEST_P(MimeWriterEdge, WritesTheExpectedLines) {
    TTempDir dir("diravid-writer");
    TMailMessage message;
    GetParam().fill(message, dir.Path());
    const bool dotStuff = true;
    const std::string out = Written(message, dotStuff);
    for (const std::string& piece : GetParam().present) EXPECT_NE(out.find(piece), std::string::npos) << piece << "\nin:\n" << out;
    for (const std::string& piece : GetParam().absent) EXPECT_EQ(out.find(piece), std::string::npos) << piece << "\nin:\n" << out;
}

INSTANTIATE_TEST_SUITE_P(EdgeCases, MimeWriterEdge, ::testing::ValuesIn(EdgeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// --- encoded words -----------------------------------------------------------

TEST(MimeHeaderWords, LongRunsSplitIntoShortWordsThatDecodeBack) {
    for (const THeaderEncoding& encoding : {THeaderEncoding{"UTF-8", 'B'}, THeaderEncoding{"UTF-8", 'Q'}}) {
        std::string text;
        for (int i = 0; i < 30; ++i) text += "Grüße€ ";
        text += "Ende";
        const std::string encoded = EncodeHeaderWords(text, encoding);
        std::istringstream words(encoded);
        for (std::string word; words >> word;) EXPECT_LE(word.size(), kMaxEncodedWordLength) << word;
        // Every word decodes on its own: no UTF-8 character is cut between words.
        std::istringstream again(encoded);
        for (std::string word; again >> word;) EXPECT_EQ(DecodeHeaderWords(word).find("\xEF\xBF\xBD"), std::string::npos) << word;
        EXPECT_EQ(DecodeHeaderWords(encoded), text);
    }
}

TEST(MimeHeaderWords, QEncodingOfIsoCharset) {
    EXPECT_EQ(EncodeHeaderWords("Grüße an_alle", HeaderEncodingForCharset("ISO-8859-1")),
              "=?ISO-8859-1?Q?Gr=FC=DFe?= an_alle");
    EXPECT_EQ(HeaderEncodingForCharset("UTF-8").Letter, 'B');
}

// --- the date and the boundary ----------------------------------------------

struct TDateCase;
void PrintTo(const TDateCase& c, std::ostream* os);
struct TDateCase {
    const char* name;
    LocalTime local;
    minutes offset;
    const char* expected;
};

class MailDateForm : public ::testing::TestWithParam<TDateCase> {};

TEST_P(MailDateForm, FormatsLikeTheHeader) {
    EXPECT_EQ(FormatMailDate(GetParam().local, GetParam().offset), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, MailDateForm,
    ::testing::Values(
        TDateCase{"WinterOffset", LocalTime{local_days{year{2026} / December / 10} + 14h + 5min + 9s}, 60min,
                  "Thu, 10 Dec 2026 14:05:09 +0100"},
        TDateCase{"SummerDayWithoutLeadingZero", LocalTime{local_days{year{2003} / July / 1} + 0h}, 120min,
                  "Tue, 1 Jul 2003 00:00:00 +0200"},
        TDateCase{"NegativeHalfHourOffset", LocalTime{local_days{year{2024} / February / 29} + 23h + 59min + 59s + 999ms},
                  -(3h + 30min), "Thu, 29 Feb 2024 23:59:59 -0330"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(MimeBoundary, IsAlphanumericWithOneEqualsUnderscore) {
    for (int i = 0; i < 200; ++i) {
        const std::string b = NewMimeBoundary();
        ASSERT_EQ(b.size(), kMimeBoundaryLength);
        const std::size_t at = b.find("=_");
        ASSERT_NE(at, std::string::npos) << b;
        EXPECT_EQ(b.find_first_of("=_", at + 2), std::string::npos) << b;
        for (std::size_t k = 0; k < b.size(); ++k) {
            if (k != at && k != at + 1) {
                EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(b[k]))) << b;
            }
        }
    }
    EXPECT_NE(NewMimeBoundary(), NewMimeBoundary());
}

struct TMessageIdCase {
    const char* name;
    std::string entry;
    std::string sender;
    std::string expected_tail;  // "" : the domain is this machine's host name
};
void PrintTo(const TMessageIdCase& c, std::ostream* os) { *os << c.name; }

class MessageId : public ::testing::TestWithParam<TMessageIdCase> {};

TEST_P(MessageId, RandomPartEntryAndDomain) {
    const TMessageIdCase& c = GetParam();
    const std::string id = NewMessageId(c.entry, c.sender);
    ASSERT_TRUE(id.starts_with("<") && id.ends_with(">")) << id;
    const std::size_t dot = id.find('.');
    ASSERT_NE(dot, std::string::npos) << id;
    const std::string random = id.substr(1, dot - 1);
    EXPECT_GE(random.size(), 16u) << id;
    EXPECT_TRUE(std::all_of(random.begin(), random.end(), [](unsigned char ch) { return std::isalnum(ch); })) << id;
    const std::string entry_at = ".4711@";  // every case's entry, blanks trimmed
    ASSERT_EQ(id.compare(dot, entry_at.size(), entry_at), 0) << id;
    const std::string domain = id.substr(dot + entry_at.size(), id.size() - dot - entry_at.size() - 1);
    if (c.expected_tail.empty()) {
        EXPECT_FALSE(domain.empty()) << id;
        EXPECT_EQ(domain.find_first_of("<>@ \"()"), std::string::npos) << domain;
    } else {
        EXPECT_EQ(domain, c.expected_tail);
    }
    EXPECT_NE(NewMessageId(c.entry, c.sender), id);
}

INSTANTIATE_TEST_SUITE_P(
    Senders, MessageId,
    ::testing::Values(TMessageIdCase{"BareAddress", "4711", "diravid@leitstelle.example.org", "leitstelle.example.org"},
                      TMessageIdCase{"WithDisplayName", "4711", "Leitstelle <ls@lage.example>", "lage.example"},
                      TMessageIdCase{"EntryWithBlanks", " 4711 ", "a@b.example", "b.example"},
                      TMessageIdCase{"NoDomain", "4711", "ohne-domain", ""},
                      TMessageIdCase{"EmptySetting", "4711", "", ""},
                      TMessageIdCase{"DomainWithSpecials", "4711", "a@b c(d)", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// --- streaming encoders -------------------------------------------------------

struct TQpCase;
void PrintTo(const TQpCase& c, std::ostream* os);
struct TQpCase {
    const char* name;
    std::string input;
    std::string expected;
};

class QuotedPrintableEncoding : public ::testing::TestWithParam<TQpCase> {};

TEST_P(QuotedPrintableEncoding, EncodesWholeAndByteByByteAlike) {
    std::string whole;
    TQuotedPrintableEncoder a;
    a.Step(GetParam().input, whole);
    a.Finish(whole);
    EXPECT_EQ(whole, GetParam().expected);
    std::string pieces;
    TQuotedPrintableEncoder b;
    for (const char c : GetParam().input) b.Step(std::string_view(&c, 1), pieces);
    b.Finish(pieces);
    EXPECT_EQ(pieces, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Input, QuotedPrintableEncoding,
    ::testing::Values(
        TQpCase{"PlainLine", "abc\r\n", "abc\r\n"},
        TQpCase{"LfOnlyBecomesCrLf", "a\nb\n", "a\r\nb\r\n"},
        TQpCase{"LoneCrIsEncoded", "a\rb\r\n", "a=0Db\r\n"},
        TQpCase{"EqualsAndHighBytes", "a=b\xFC\x01\r\n", "a=3Db=FC=01\r\n"},
        TQpCase{"LeadingDot", ".\r\n..\r\nx.\r\n", "=2E\r\n=2E.\r\nx.\r\n"},
        TQpCase{"TrailingBlankAndTab", "a \r\nb\t\r\n \r\n", "a=20\r\nb=09\r\n=20\r\n"},
        TQpCase{"InnerBlanksStay", "a  b\r\n", "a  b\r\n"},
        TQpCase{"BlankBeforeLoneCrStays", "a \rb\r\n", "a =0Db\r\n"},
        TQpCase{"SoftBreakAtSeventy", std::string(71, 'x') + "\r\n",
                std::string(70, 'x') + "=\r\nx\r\n"},
        TQpCase{"ExactlySeventyHasNoSoftBreak", std::string(70, 'x') + "\r\n", std::string(70, 'x') + "\r\n"},
        TQpCase{"DotAfterSoftBreakIsEncoded", std::string(70, 'x') + ".\r\n",
                std::string(70, 'x') + "=\r\n=2E\r\n"},
        TQpCase{"EncodedByteCrossingSeventy", std::string(69, 'x') + "\xE4y\r\n",
                std::string(69, 'x') + "=E4=\r\ny\r\n"},
        TQpCase{"UnterminatedLastLineGainsNoLineBreak", "ab ", "ab=20=\r\n"},
        TQpCase{"EmptyInput", "", ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Base64Encoding, StreamsInAnyPiecesToLinesOf76) {
    std::string data;
    for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7 + i / 13);
    std::string whole;
    TBase64Encoder a;
    a.Step(data, whole);
    a.Finish(whole);
    for (const std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{56}, std::size_t{58}, std::size_t{171}}) {
        std::string out;
        TBase64Encoder b;
        for (std::size_t pos = 0; pos < data.size(); pos += piece) b.Step(std::string_view(data).substr(pos, piece), out);
        b.Finish(out);
        EXPECT_EQ(out, whole) << piece;
    }
    // 1000 bytes: 17 full lines of 57 bytes, then 31 bytes.
    std::istringstream lines(whole);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    ASSERT_EQ(got.size(), 18u);
    for (std::size_t i = 0; i < 17; ++i) EXPECT_EQ(got[i], std::string(got[i].substr(0, 76)) + "\r");
    EXPECT_EQ(got[17].size(), 44u + 1);
    EXPECT_EQ(got[17].substr(42), "==\r");
}

TEST(Base64Encoding, PaddingOfShortTails) {
    for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
             {"", ""}, {"f", "Zg==\r\n"}, {"fo", "Zm8=\r\n"}, {"foo", "Zm9v\r\n"}, {"foob", "Zm9vYg==\r\n"}}) {
        std::string got;
        TBase64Encoder e;
        e.Step(in, got);
        e.Finish(got);
        EXPECT_EQ(got, out) << in;
    }
}

// --- output and failures ------------------------------------------------------

class TFailingSink final : public TByteSink {
public:
    void Write(std::string_view) override { throw EDiraError(TErrorKind::ekPeerClosed, "Verbindung verloren"); }
};

TEST(MimeWriterOutput, SinkFailurePassesThrough) {
    TMailMessage message;
    FillLikeDispatch(message, {"x"});
    TFailingSink sink;
    TFixedEnvironment environment;
    TMailMessageWriter writer(sink, true, environment);
    EXPECT_THROW(writer.SendMsg(message), EDiraError);
}

TEST(MimeWriterOutput, MissingAttachmentFileFailsTheMessage) {
    TTempDir dir("diravid-writer");
    TMailMessage message;
    FillLikeDispatch(message, {"x"});
    message.MessageParts.AddAttachmentFile(dir / "weg.pdf");
    std::string out;
    TStringSink sink(out);
    TFixedEnvironment environment;
    TMailMessageWriter writer(sink, true, environment);
    EXPECT_THROW(writer.SendMsg(message), EDiraError);
}

TEST(MimeWriterOutput, FileSinkHoldsTheSameBytesAsAString) {
    TTempDir dir("diravid-writer");
    TMailMessage message;
    FillLikeDispatch(message, kDispatchBody);
    const std::string expected = Written(message);
    {
        TFileSink file(dir / "m.eml");
        TFixedEnvironment environment;
        TMailMessageWriter writer(file, false, environment);
        writer.SendMsg(message);
        file.Close();
    }
    EXPECT_EQ(ReadFile(dir / "m.eml"), expected);
    EXPECT_THROW(TFileSink(dir / "kein" / "ordner.eml"), EDiraError);
}

TEST(MimeWriterOutput, HeadersOnlyAndNoEncode) {
    TMailMessage message;
    FillLikeDispatch(message, {"Text"});
    std::string out;
    TStringSink sink(out);
    TFixedEnvironment environment;
    TMailMessageWriter writer(sink, true, environment);
    writer.SendMsg(message, true);
    EXPECT_TRUE(out.ends_with("+0100\r\n")) << out;
    EXPECT_EQ(out.find("Content-Type"), std::string::npos);

    TMailMessage raw;
    raw.NoEncode = true;
    raw.Headers.Add("Subject: roh");
    raw.Body = {".a", "b"};
    out.clear();
    writer.SendMsg(raw);
    EXPECT_EQ(out, "Subject: roh\r\n\r\n..a\r\nb\r\n");
}

void PrintTo(const TLayoutCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const TEdgeCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const TDateCase& c, std::ostream* os) { *os << c.name; }
void PrintTo(const TQpCase& c, std::ostream* os) { *os << c.name; }

}  // namespace
}  // namespace kdv
