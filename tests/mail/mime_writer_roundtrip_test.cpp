// Messages written by the writer and read back by the project's own reader
// must give back what was put in: subject, addresses, text and attachment bytes.
#include "mail/byte_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "mail/mime_writer.h"
#include "mail/stream_line_source.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace kdv {
namespace {

TMailLines ToLines(const std::vector<std::string>& lines) {
    TMailLines result;
    for (const std::string& line : lines) result.push_back(line);
    return result;
}

std::vector<std::string> ToVector(const TMailLines& lines) { return {lines.begin(), lines.end()}; }

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TTempDir;
using testing::WriteFile;

std::string EveryByteValue() {
    std::string bytes;
    for (int round = 0; round < 3; ++round) {
        for (int b = 0; b < 256; ++b) bytes += static_cast<char>(round == 1 ? 255 - b : b);
    }
    return bytes;
}

std::string RandomBytes(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < size; i += 8) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        std::memcpy(bytes.data() + i, &state, std::min<std::size_t>(8, size - i));
    }
    return bytes;
}

struct TAttachmentSpec {
    std::string fileName;
    std::string content;
};

struct TRoundTripCase {
    const char* name = "";
    std::string subject = "Lage (#5)";
    std::string fromName;
    std::string to = "leitstelle@example.org";
    std::string charset = "utf-8";
    std::string transfer;  // empty: the writer's choice (quoted-printable)
    std::vector<std::string> text = {"Text"};
    std::vector<std::string> expectedText = {};  // empty: the same as text
    std::vector<TAttachmentSpec> attachments = {};
};

void PrintTo(const TRoundTripCase& c, std::ostream* os) { *os << c.name; }

std::vector<TRoundTripCase> RoundTripCases() {
    std::vector<TRoundTripCase> cases;
    {
        TRoundTripCase c;
        c.name = "UmlautsAndEuroInSubjectNamesAndFileNames";
        c.subject = "AW: Übung für Straße – Kosten 5 € (#5)";
        c.fromName = "Jürgen Müller";
        c.to = "\"Meier, Hans\" <hm@example.org>, Zoë Ærø <zoe@example.org>, plain@example.org";
        c.text = {"Grüße, Kosten: 5 €"};
        c.attachments = {{"Lageübersicht €.pdf", "%PDF-1.4 inhalt"}, {"Straßen.txt", "Hauptstraße\r\n"}};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "LongUmlautSubjectAcrossSeveralEncodedWords";
        for (int i = 0; i < 12; ++i) c.subject += "Überflutung Ölspur ";
        c.subject += "(#5)";
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "LongNonAsciiDisplayNameAndFileName";
        c.fromName = "Kreisbrandmeisterin Jürgen-Müller-Straßenmeisterei Überörtliche Gefahrenabwehr";
        c.attachments = {{"Überörtlicher Einsatzplan für die Hochwasserlage an der Mündung – Stand März.pdf", "x"}};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "LinesStartingWithDotOrBeingADot";
        c.attachments = {{"a.txt", ".\r\n"}};
        c.text = {".", ".Punkt", "..", "Mitte . Ende", "."};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "DotLinesInEightBitTextAreDotStuffed";
        c.transfer = "8bit";
        c.text = {".", ".Punkt", "..", "ä."};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "LinesEndingInBlanks";
        c.text = {"Ende  ", "Tab\t", " ", "\t \t"};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "HundredCharacterLine";
        c.text = {std::string(60, 'a') + "ü" + std::string(39, 'b'), std::string(100, '=')};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "CrOnlyText";
        c.text = {"eins\rzwei\r\rdrei"};
        c.expectedText = {"eins", "zwei", "", "drei"};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "LfOnlyText";
        c.attachments = {{"lf.txt", "eins\nzwei\n"}};
        c.text = {"eins\nzwei\n\ndrei"};
        c.expectedText = {"eins", "zwei", "", "drei"};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "IsoTextWithUmlauts";
        c.charset = "iso-8859-1";
        c.text = {"Grüße aus Köln", "ÄÖÜäöüß"};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "EmptyAttachment";
        c.attachments = {{"leer.bin", ""}};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "BinaryAttachmentWithEveryByteValue";
        c.attachments = {{"alle.bin", EveryByteValue()}};
        cases.push_back(c);
    }
    {
        TRoundTripCase c;
        c.name = "TwentyMegabyteAttachment";
        c.attachments = {{"gross.bin", RandomBytes(20 * 1024 * 1024 + 13)}};
        cases.push_back(c);
    }
    return cases;
}

// The written message as a server relays it: read in uneven blocks, ended by ".".
class TStringInput final : public ILineInput {
public:
    explicit TStringInput(std::string data) : data_(std::move(data)) {}
    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t n = std::min({size, data_.size() - pos_, std::size_t{7919}});
        std::memcpy(buffer, data_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::string data_;
    std::size_t pos_ = 0;
};

class MimeWriterRoundTrip : public ::testing::TestWithParam<TRoundTripCase> {};

TEST_P(MimeWriterRoundTrip, ReaderGivesBackWhatWasWritten) {
    const TRoundTripCase& c = GetParam();
    TTempDir dir("diravid-roundtrip");
    fs::create_directories(dir / "in");
    fs::create_directories(dir / "out");

    std::string wire;
    {
        TMailMessage sent;
        sent.From().Address = "diravid@example.org";
        sent.From().Name = c.fromName;
        sent.Recipients.SetEMailAddresses(c.to);
        sent.Subject = c.subject;
        sent.SetEncoding(TMailEncoding::meMIME);
        TMailText& text = sent.MessageParts.AddText(ToLines(c.text));
        text.SetContentType("text/plain; charset=" + c.charset);
        if (!c.transfer.empty()) text.SetContentTransfer(c.transfer);
        for (const TAttachmentSpec& a : c.attachments) {
            const fs::path path = dir.Path() / "in" / PathFromUtf8(a.fileName);
            WriteFile(path, a.content);
            sent.MessageParts.AddAttachmentFile(path);
        }
        TStringSink sink(wire);
        TMailMessageWriter writer(sink, true);
        writer.SendMsg(sent);
        ASSERT_EQ(sent.Recipients.Count(), c.to.empty() ? 0u : sent.Recipients.Count());
    }
    wire += ".\r\n";
    // Every written line fits the limits of Internet mail.
    for (std::size_t pos = 0, end; (end = wire.find("\r\n", pos)) != std::string::npos; pos = end + 2) {
        ASSERT_LE(end - pos, 998u);
        ASSERT_EQ(wire.substr(pos, end - pos).find_first_of("\r\n"), std::string::npos);
    }

    TMailMessage expected;
    expected.Recipients.SetEMailAddresses(c.to);
    TMailMessage got;
    got.MessageParts.AttachmentTempDirectory = dir.Path() / "out";
    TStringInput input(wire);
    TMailStreamLineSource source(input, 0);
    TMailMessageReader(source).ProcessMessage(got);

    EXPECT_EQ(got.Subject, c.subject);
    ASSERT_EQ(got.FromList.Count(), 1u);
    EXPECT_EQ(got.FromList[0].Address, "diravid@example.org");
    EXPECT_EQ(got.FromList[0].Name, c.fromName.empty() ? "diravid@example.org" : c.fromName);
    ASSERT_EQ(got.Recipients.Count(), expected.Recipients.Count());
    for (std::size_t i = 0; i < expected.Recipients.Count(); ++i) {
        EXPECT_EQ(got.Recipients[i].Address, expected.Recipients[i].Address);
        EXPECT_EQ(got.Recipients[i].Name, expected.Recipients[i].Name);
    }
    const std::vector<std::string>& expectedText = c.expectedText.empty() ? c.text : c.expectedText;
    if (c.attachments.empty()) {
        // A single-part message: its text is the message's own body.
        EXPECT_EQ(got.MessageParts.Count(), 0u);
        EXPECT_EQ(ToVector(got.Body), expectedText);
        return;
    }
    ASSERT_EQ(got.MessageParts.Count(), 1 + c.attachments.size());
    ASSERT_EQ(got.MessageParts[0].PartType(), TMailPartType::mptText);
    std::vector<std::string> text = ToVector(static_cast<TMailText&>(got.MessageParts[0]).Body);
    // The reader keeps the line break in front of the next boundary as one
    // more empty line of a text part; it is not part of the text.
    if (!text.empty() && text.back().empty()) text.pop_back();
    EXPECT_EQ(text, expectedText);
    for (std::size_t i = 0; i < c.attachments.size(); ++i) {
        auto& part = got.MessageParts[1 + i];
        ASSERT_EQ(part.PartType(), TMailPartType::mptAttachment);
        EXPECT_EQ(part.FileName, c.attachments[i].fileName);
        const std::string content = ReadFile(static_cast<TMailAttachmentFile&>(part).StoredPathName());
        EXPECT_EQ(content.size(), c.attachments[i].content.size());
        EXPECT_TRUE(content == c.attachments[i].content) << "attachment " << i << " differs";
    }
}

INSTANTIATE_TEST_SUITE_P(Messages, MimeWriterRoundTrip, ::testing::ValuesIn(RoundTripCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kdv
