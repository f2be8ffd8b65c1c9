// The spool of a pass holds one mail at a time, byte for byte as it arrived,
// however the connection cut it into pieces.
#include "incoming/spooled_mail.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "clients/connection_line_source.h"
#include "mail/mail_message.h"
#include "mail/mail_message_parts.h"
#include "mail/memory_line_source.h"
#include "mail/mime_reader.h"
#include "mail/stream_line_source.h"
#include "net/mail_line_io.h"
#include "platform/sha256.h"
#include "support/error_kind_name.h"
#include "support/piece_transport.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {
namespace {

std::string Sha256Hex(const std::string& bytes) {
    TSha256 sha;
    sha.Update(bytes);
    return sha.FinishHex();
}

TEST(SpoolFile, EachMailIsAllTheFileHolds) {
    TTempDir home("diravid-spool");
    struct TMail {
        const char* name;
        std::string text;
        std::size_t piece;  // the size of the pieces it arrives in
    };
    std::string lines;
    for (int i = 0; i < 5000; ++i) lines += "Zeile " + std::to_string(i) + " der Lagemeldung\r\n";
    const std::vector<TMail> mails = {
        {"POP3 lines", lines, 30},
        {"a shorter one after it", "Subject: kurz\r\n\r\nText\r\n", 7},
        {"one large piece", std::string(200000, 'q'), 200000},
        {"pieces around the block size", lines + std::string(70000, 'z'), 65535},
        {"empty", "", 1},
    };
    const std::filesystem::path folder = home.Path() / "temp" / "4711";
    std::filesystem::path path;
    {
        TSpoolFile spool(folder);
        path = spool.Path();
        EXPECT_EQ(path.parent_path(), folder);
        for (const TMail& mail : mails) {
            SCOPED_TRACE(mail.name);
            spool.Restart();
            for (std::size_t at = 0; at < mail.text.size(); at += mail.piece) {
                spool.Write(std::string_view(mail.text).substr(at, mail.piece));
            }
            spool.Finish();
            EXPECT_EQ(spool.Path(), path);
            EXPECT_EQ(spool.Size(), mail.text.size());
            EXPECT_TRUE(ReadFile(path) == mail.text);
            EXPECT_EQ(spool.Hash(), Sha256Hex(mail.text));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

// A mail read while it arrives: the reader sees exactly the mail, never the
// longer one the file held before, and a transfer that ends early fails the
// reading instead of ending the mail.
TEST(SpoolReader, ReadsTheMailWhileItArrives) {
    TTempDir home("diravid-spool-reader");
    const std::string attachment(300000, 'A');
    std::string mail =
        "From: hans@example.org\r\nSubject: Lage\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nPegel 4,20 m\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"plan.bin\"\r\n"
        "Content-Disposition: attachment; filename=\"plan.bin\"\r\n\r\n";
    // Lines of a thousand bytes; the line end before the boundary belongs to it.
    std::string stored;
    for (std::size_t i = 0; i < attachment.size(); i += 1000) {
        if (!stored.empty()) stored += "\r\n";
        stored += attachment.substr(i, 1000);
    }
    mail += stored + "\r\n--b--\r\n";
    const std::string longer(mail.size() + 500000, 'x');

    struct TCase {
        const char* name;
        bool whole;  // the transfer ends with the mail, else it breaks off halfway
    };
    for (const TCase& c : {TCase{"whole", true}, TCase{"broken off", false}}) {
        SCOPED_TRACE(c.name);
        TSpoolFile spool(home.Path() / "temp");
        // The file held a longer mail before: its tail must stay unseen.
        spool.Restart();
        spool.Write(longer);
        spool.Finish();

        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = home.Path() / "temp";
        spool.Restart();
        TSpoolReader reader(spool, message);
        const std::size_t end = c.whole ? mail.size() : mail.size() / 2;
        // Small pieces and large ones in turn: the reader is handed short
        // stretches of the file, right before bytes of the earlier mail.
        std::size_t piece = 0;
        for (std::size_t at = 0; at < end; at += piece) {
            piece = std::min<std::size_t>(at / 100 % 2 == 0 ? 100 : 70000, end - at);
            spool.Write(std::string_view(mail).substr(at, piece));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        if (c.whole) {
            spool.Finish();
        } else {
            spool.Abort();
        }
        const std::exception_ptr failure = reader.Wait();
        if (!c.whole) {
            ASSERT_NE(failure, nullptr);
            continue;
        }
        ASSERT_EQ(failure, nullptr);
        EXPECT_EQ(message.Subject, "Lage");
        ASSERT_EQ(message.MessageParts.Count(), 2u);
        const auto* file = dynamic_cast<const TMailAttachmentFile*>(&message.MessageParts[1]);
        ASSERT_NE(file, nullptr);
        EXPECT_TRUE(ReadFile(file->StoredPathName()) == stored);
    }
}

// A reader whose transfer never ends in order is stopped, not left waiting.
TEST(SpoolReader, EndsWithItsSpoolUnfinished) {
    TTempDir home("diravid-spool-reader");
    TSpoolFile spool(home.Path() / "temp");
    TMailMessage message;
    spool.Restart();
    spool.Write("From: hans@example.org\r\n");
    { TSpoolReader reader(spool, message); }
    SUCCEED();
}

// The lines of a source, each with its break in angle brackets.
std::vector<std::string> LinesWithBreaks(TMailLineSource& source, TLineTerminator terminator) {
    std::vector<std::string> lines;
    std::string_view line;
    while (source.ReadLnRFC(line, terminator)) lines.push_back(std::string(line) + "<" + std::string(source.LineBreak()) + ">");
    EXPECT_FALSE(source.ReadLnRFC(line, terminator));
    return lines;
}

// A spooled mail is cut into lines as the same mail in memory is, also where
// the file is read in blocks and a block ends between a CR and what follows.
TEST(MailFileLineSource, CutsLinesAsAMailInMemory) {
    const std::string shapes[] = {
        "a\r\nb\r\n", "a\nb\r\nc\n", "a\rb\r\nc\r", "h\r\n\r\na\rb\nc\r",   "a\r\r\nb\r",
        "\r\n\r\n",   "\n\n",        "\r\r",      "\r\na\rb",            "a",
    };
    // The file is read in blocks of 64 KiB: a first line this long puts the
    // shape's first break at the end of the first block, or just before or after it.
    constexpr std::size_t kBlock = 64 * 1024;
    TTempDir home("diravid-file-source");
    const std::filesystem::path path = home.Path() / "mail.eml";
    for (const std::string& shape : shapes) {
        for (const std::size_t pad : {std::size_t{0}, kBlock - 2, kBlock - 1, kBlock}) {
            const std::string data = std::string(pad, 'x') + shape;
            WriteFile(path, data);
            for (const TLineTerminator terminator : {TLineTerminator::LF, TLineTerminator::CRLF}) {
                SCOPED_TRACE(::testing::Message() << "shape " << ::testing::PrintToString(shape) << ", pad " << pad
                                                  << (terminator == TLineTerminator::LF ? ", LF" : ", CR LF"));
                TMailMemoryLineSource memory(data);
                TMailFileLineSource file(path);
                EXPECT_EQ(LinesWithBreaks(file, terminator), LinesWithBreaks(memory, terminator));
            }
        }
    }
}

// One mail, every way it can reach the reader, is cut into the same lines
// with the same breaks: its text in memory (the import), its text in the
// spool file (the mailbox pass), and its dot-stuffed transfer from a stream
// and from a connection, these also fed one byte at a time, so that every
// break and every dot meets a block edge.
struct TRoadCase {
    const char* name;
    std::string text;
    std::size_t max_line = 0;  // 0: each source's own limit
};

class LinesOnEveryRoad : public ::testing::TestWithParam<TRoadCase> {};

// The transfer of a mail's text as a server sends it: a dot at the start of
// a line doubled, CR LF after a text that does not end with a line break,
// then the line "." and the server's next reply.
std::string TransferOf(std::string_view text) {
    std::string wire;
    bool line_start = true;
    for (const char c : text) {
        if (line_start && c == '.') wire += '.';
        wire += c;
        line_start = c == '\n';
    }
    if (!line_start) wire += "\r\n";
    return wire + ".\r\n+OK next\r\n";
}

// The text a transfer carries: that of the mail, with a break at its end.
std::string CarriedText(const std::string& text) {
    return text.empty() || text.back() == '\n' ? text : text + "\r\n";
}

// The lines read, each with its break in angle brackets, and the failure
// that ended them.
std::vector<std::string> RoadLines(TMailLineSource& source, TLineTerminator terminator) {
    std::vector<std::string> lines;
    std::string_view line;
    try {
        while (source.ReadLnRFC(line, terminator)) lines.push_back(std::string(line) + "<" + std::string(source.LineBreak()) + ">");
        if (source.ReadLnRFC(line, terminator)) lines.push_back("a line after the end");
    } catch (const EDiraError& error) {
        lines.push_back(std::string("error ") + KindName(error.ErrorKind()) + " " + error.what());
    }
    return lines;
}

// Hands out its bytes in pieces of a fixed size.
class TPieceInput final : public ILineInput {
public:
    TPieceInput(std::string data, std::size_t piece) : data_(std::move(data)), piece_(piece) {}
    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t n = std::min({size, piece_, data_.size() - at_});
        data_.copy(buffer, n, at_);
        at_ += n;
        return n;
    }

private:
    std::string data_;
    std::size_t piece_;
    std::size_t at_ = 0;
};

TEST_P(LinesOnEveryRoad, SameLinesAndBreaks) {
    const TRoadCase& c = GetParam();
    TTempDir home("diravid-roads");
    const std::filesystem::path path = home.Path() / "mail.eml";
    WriteFile(path, c.text);
    const std::string wire = TransferOf(c.text);
    const std::string carried = CarriedText(c.text);
    const auto limit = [&](std::size_t own) { return c.max_line != 0 ? c.max_line : own; };
    for (const TLineTerminator terminator : {TLineTerminator::LF, TLineTerminator::CRLF}) {
        SCOPED_TRACE(terminator == TLineTerminator::LF ? "LF" : "CR LF");
        TMailMemoryLineSource memory(c.text, c.max_line);
        const std::vector<std::string> expected = RoadLines(memory, terminator);
        TMailMemoryLineSource carried_memory(carried, c.max_line);
        const std::vector<std::string> expected_carried = RoadLines(carried_memory, terminator);
        {
            TMailFileLineSource file(path, nullptr, limit(TMailFileLineSource::kMaxLineLength));
            EXPECT_EQ(RoadLines(file, terminator), expected) << "file";
        }
        {
            TSpoolFile spool(home.Path() / "spool");
            spool.Restart();
            spool.Write(c.text);
            spool.Finish();
            TMailFileLineSource arriving(spool.Path(), &spool, limit(TMailFileLineSource::kMaxLineLength));
            EXPECT_EQ(RoadLines(arriving, terminator), expected) << "spool";
        }
        for (const std::size_t piece : {std::size_t{1}, std::size_t{100000}}) {
            SCOPED_TRACE(::testing::Message() << "pieces of " << piece);
            TPieceInput input(wire, piece);
            TMailStreamLineSource stream(input, limit(TMailStreamLineSource::kMaxDataLineLength));
            EXPECT_EQ(RoadLines(stream, terminator), expected_carried) << "stream";

            TPieceTransport transport(wire, piece);
            TMailLineIO io(transport);
            TMailConnectionLineSource connection(io, limit(TMailConnectionLineSource::kMaxDataLineLength));
            const std::vector<std::string> lines = RoadLines(connection, terminator);
            EXPECT_EQ(lines, expected_carried) << "connection";
            // Nothing after the "." line was taken from the connection.
            if (!lines.empty() && lines.back().starts_with("error")) continue;
            EXPECT_EQ(io.ReadLn(), "+OK next");
        }
    }
}

// The file is read in blocks of this size: a break split by a block edge.
const std::string kBlockPad(TLineReader::kReadBlock - 1, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, LinesOnEveryRoad,
    ::testing::Values(TRoadCase{"CrLfLines", "From: a\r\n\r\nText\r\n"},
                      TRoadCase{"BareLfLines", "From: a\n\nText\n"},
                      TRoadCase{"BareCrLines", "From: a\r\rText\r"},
                      TRoadCase{"CrLfHeadCrBodyLfInside", "h\r\n\r\na\rb\nc\r\n"},
                      TRoadCase{"LfFirstThenCrLf", "a\nb\r\nc\n"},
                      TRoadCase{"CrRightBeforeCrLf", "a\r\r\nb\r\n"},
                      TRoadCase{"DotLines", ".\r\n..\r\n.x\r\n...\r\n"},
                      TRoadCase{"DotsAfterBareBreaks", "a\n.\n..\nb\r.\r\n"},
                      TRoadCase{"LastLineWithoutBreak", "a\r\nb"},
                      TRoadCase{"CrLfAcrossABlockEdge", kBlockPad + "\r\nb\r\n"},
                      TRoadCase{"BareCrAtABlockEdge", kBlockPad + "\rb\r\n"},
                      TRoadCase{"LineAtTheLimit", std::string(16, 'x') + "\r\ny\r\n", 16},
                      TRoadCase{"OverLongLine", "short\r\n" + std::string(17, 'x') + "\r\nnot read\r\n", 16},
                      TRoadCase{"OverLongLastLine", "short\r\n" + std::string(17, 'x'), 16},
                      TRoadCase{"NoText", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// A picture of what the reader made of a mail: its texts line by line and
// every attachment's bytes.
std::string Structure(TMailMessage& message) {
    std::string out = "Subject: " + message.Subject + "\n";
    for (const std::string_view line : message.Body) out += "| " + std::string(line) + "\n";
    for (std::size_t i = 0; i < message.MessageParts.Count(); ++i) {
        TMailMessagePart& part = message.MessageParts[i];
        out += "Part " + std::to_string(i) + ": " + part.ContentType() + ", " + part.FileName + "\n";
        if (auto* text = dynamic_cast<TMailText*>(&part)) {
            for (const std::string_view line : text->Body) out += "  | " + std::string(line) + "\n";
        } else if (auto* file = dynamic_cast<TMailAttachmentFile*>(&part)) {
            out += "  bytes: " + ReadFile(file->StoredPathName()) + "\n";
        }
    }
    return out;
}

// The mailbox road (the mail spooled and read while it arrives) reads every
// stored mail of the reader's own tests as the import reads the same file.
// Mails named raw_* are stored with the line breaks they come with; the
// others with LF for readability, as CR LF on the wire.
TEST(SpoolReader, ReadsEveryStoredMailAsTheImportDoes) {
    const std::filesystem::path data_dir = std::filesystem::path(DIRAVID_SOURCE_DIR) / "tests" / "mail" / "data";
    TTempDir home("diravid-spool-roads");
    std::size_t mails = 0;
    for (const auto& entry : std::filesystem::directory_iterator(data_dir)) {
        if (entry.path().extension() != ".eml") continue;
        ++mails;
        SCOPED_TRACE(entry.path().filename().string());
        std::string mail = ReadFile(entry.path());
        if (entry.path().filename().string().rfind("raw_", 0) != 0) {
            std::string wire;
            for (const char c : mail) {
                if (c == '\n') wire += '\r';
                wire += c;
            }
            mail = wire;
        }
        TMailMessage imported;
        imported.MessageParts.AttachmentTempDirectory = home.Path() / "import";
        std::filesystem::create_directories(home.Path() / "import");
        LoadMessageFromMemory(imported, mail);

        TSpoolFile spool(home.Path() / "temp");
        TMailMessage spooled;
        spooled.MessageParts.AttachmentTempDirectory = home.Path() / "temp";
        spool.Restart();
        TSpoolReader reader(spool, spooled);
        for (std::size_t at = 0; at < mail.size(); at += 7) spool.Write(std::string_view(mail).substr(at, 7));
        spool.Finish();
        ASSERT_EQ(reader.Wait(), nullptr);
        EXPECT_EQ(Structure(spooled), Structure(imported));
    }
    EXPECT_GT(mails, 0u);
}

// A server that stores an upload with CR line ends puts its own header lines
// with CR LF on top: the mail keeps its text and its PDF, byte for byte, on
// the mailbox road as on the import road.
TEST(SpoolReader, MailWithCrLfHeadAndCrBodyKeepsTextAndPdf) {
    const std::string pdf("%PDF-1.4\n%\xe2\xe3\xcf\xd3\r\n1 0 obj\r<< /Type /Catalog >>\rendobj\n\x00\x01\x02\xff Plan\r\n%%EOF\n",
                          69);
    const std::filesystem::path data_dir = std::filesystem::path(DIRAVID_SOURCE_DIR) / "tests" / "mail" / "data";
    TTempDir home("diravid-spool-mixed");
    for (const char* name : {"raw_crlf_head_cr_body.eml", "raw_server_head_cr_mail.eml"}) {
        SCOPED_TRACE(name);
        TSpoolFile spool(home.Path() / "temp");
        spool.Restart();
        spool.Write(ReadFile(data_dir / name));
        spool.Finish();
        TMailMessage message;
        message.MessageParts.AttachmentTempDirectory = home.Path() / "temp";
        ReadSpooledMail(message, spool.Path());
        ASSERT_EQ(message.MessageParts.Count(), 2u);
        auto* text = dynamic_cast<TMailText*>(&message.MessageParts[0]);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::vector<std::string>(text->Body),
                  (std::vector<std::string>{"Grüße aus der Leitstelle.", ".", "Zweite Zeile."}));
        auto* file = dynamic_cast<TMailAttachmentFile*>(&message.MessageParts[1]);
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(file->FileName, "plan.pdf");
        EXPECT_TRUE(ReadFile(file->StoredPathName()) == pdf);
    }
}

}  // namespace
}  // namespace kdv::testing
