#include "mail/memory_line_source.h"
#include "mail/stream_line_source.h"
#include "platform/dira_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/expect_raises.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

using TLines = std::vector<std::string>;

// The lines, each followed by its break in angle brackets when `breaks` is set.
TLines ReadAll(TMailLineSource& source, TLineTerminator terminator, bool breaks = false) {
    TLines lines;
    std::string_view line;
    while (source.ReadLnRFC(line, terminator)) {
        lines.emplace_back(line);
        if (breaks) lines.back() += "<" + std::string(source.LineBreak()) + ">";
    }
    // The end stays the end.
    EXPECT_FALSE(source.ReadLnRFC(line, terminator));
    EXPECT_TRUE(line.empty());
    return lines;
}

// Hands out the bytes in chunks of a fixed size, like a slow connection.
class TChunkedInput final : public ILineInput {
public:
    TChunkedInput(std::string data, std::size_t chunk) : data_(std::move(data)), chunk_(chunk) {}
    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t n = std::min({size, chunk_, data_.size() - pos_});
        data_.copy(buffer, n, pos_);
        pos_ += n;
        return n;
    }

private:
    std::string data_;
    std::size_t chunk_;
    std::size_t pos_ = 0;
};

struct TSourceCase {
    const char* name;
    std::string data;
    TLineTerminator terminator;
    TLines expected;
};

TEST(MemoryLineSource, GivesTheMailLinesExactly) {
    const auto LF = TLineTerminator::LF;
    const auto CRLF = TLineTerminator::CRLF;
    const TSourceCase cases[] = {
        {"CR LF lines", "a\r\nb\r\n", LF, {"a", "b"}},
        {"bare LF lines", "a\nb\n", LF, {"a", "b"}},
        {"last line without break", "a\r\nb", LF, {"a", "b"}},
        {"last line ending in CR", "a\r\nb\r", LF, {"a", "b"}},
        {"empty lines kept", "\r\n\r\nx\r\n\r\n", LF, {"", "", "x", ""}},
        {"dot lines are data, not the end", ".\r\n..x\r\n.y\r\n", LF, {".", "..x", ".y"}},
        {"CR LF mode keeps bare LF inside", "x\r\na\nb\r\nc\r\n", CRLF, {"x", "a\nb", "c"}},
        {"CR LF mode: last line ending in LF", "a\r\nb\n", CRLF, {"a", "b"}},
        {"CR LF mode: a dot after a bare LF stays as it is", "z\r\nx\n.y\r\n", CRLF, {"z", "x\n.y"}},
        {"LF file: LF ends lines in CR LF mode too", "a\nb\r\nc\n", CRLF, {"a", "b", "c"}},
        {"CR file: CR ends lines in either mode", "a\rb\rc", LF, {"a", "b", "c"}},
        {"CR file in CR LF mode", "a\rb\r\nc\r", CRLF, {"a", "b", "c"}},
        {"CR LF head, CR body", "h\r\n\r\na\rb\r", LF, {"h", "", "a", "b"}},
        {"CR LF head, CR body in CR LF mode", "h\r\n\r\na\rb\nc\r", CRLF, {"h", "", "a", "b\nc"}},
        {"a bare CR ends a line of a CR LF mail", "a\rb\r\n", LF, {"a", "b"}},
        {"a CR right before CR LF ends a line", "a\r\r\nb", LF, {"a", "", "b"}},
        {"no data at all", "", LF, {}},
    };
    for (const auto& c : cases) {
        TMailMemoryLineSource source(c.data);
        EXPECT_EQ(ReadAll(source, c.terminator), c.expected) << c.name;
    }
}

TEST(MemoryLineSource, TellsTheBreakOfEachLine) {
    const auto LF = TLineTerminator::LF;
    const auto CRLF = TLineTerminator::CRLF;
    const TSourceCase cases[] = {
        {"CR LF file", "a\r\nb\nc", LF, {"a<\r\n>", "b<\n>", "c<>"}},
        {"LF file", "a\nb\r\n", CRLF, {"a<\n>", "b<\r\n>"}},
        {"CR file", "a\rb\r", LF, {"a<\r>", "b<\r>"}},
        {"CR LF head, CR body", "h\r\n\r\na\rb", CRLF, {"h<\r\n>", "<\r\n>", "a<\r>", "b<>"}},
    };
    for (const auto& c : cases) {
        TMailMemoryLineSource source(c.data);
        EXPECT_EQ(ReadAll(source, c.terminator, true), c.expected) << c.name;
    }
}

TEST(StreamLineSource, UnstuffsDotsAndStopsAtTheEndLine) {
    const auto LF = TLineTerminator::LF;
    const auto CRLF = TLineTerminator::CRLF;
    const TSourceCase cases[] = {
        {"stuffed dots", "..\r\n..x\r\nab\r\n.\r\nnot read\r\n", LF, {".", ".x", "ab"}},
        {"CR LF mode keeps a bare LF inside a CR LF mail", "x\r\na\nb\r\n.\r\n", CRLF, {"x", "a\nb"}},
        {"a mail with LF breaks ends lines at LF in CR LF mode too", "a\nb\r\n.\r\n", CRLF, {"a", "b"}},
        {"a bare CR ends a line as in the mail's file", "a\rb\r\n.\r\n", LF, {"a", "b"}},
        {"bare LF in LF mode", "a\nb\r\n.\r\n", LF, {"a", "b"}},
        {"only the end line", ".\r\n", LF, {}},
    };
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{4096}}) {
        for (const auto& c : cases) {
            TChunkedInput input(c.data, chunk);
            TMailStreamLineSource source(input);
            EXPECT_EQ(ReadAll(source, c.terminator), c.expected) << c.name << ", chunk " << chunk;
        }
    }
}

// A mail cut off in the middle must never pass for a whole one: it would be
// filed and deleted from the server.
TEST(StreamLineSource, TransferEndingBeforeTheEndLineRaises) {
    for (const std::string data : {"a\r\nb", "a\r\nb\r\n", "", "a\r\n..\r\n"}) {
        TChunkedInput input(data, 3);
        TMailStreamLineSource source(input);
        std::string_view line;
        const EDiraError e = ExpectRaises([&] {
            while (source.ReadLnRFC(line, TLineTerminator::LF)) {
            }
        });
        EXPECT_STREQ(e.what(), "Die Verbindung endete vor dem Ende der Nachricht.");
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekPeerClosed);
    }
}

TEST(StreamLineSource, RefusesLinesOverTheLimit) {
    const std::size_t limit = 16384;
    {
        TChunkedInput input(std::string(limit, 'x') + "\r\n.\r\n", 1000);
        TMailStreamLineSource source(input, limit);
        std::string_view line;
        ASSERT_TRUE(source.ReadLnRFC(line, TLineTerminator::LF));
        EXPECT_EQ(line.size(), limit);
    }
    for (const std::string tail : {"\r\n", ""}) {
        TChunkedInput input(std::string(limit + 1, 'x') + tail, 1000);
        TMailStreamLineSource source(input, limit);
        std::string_view line;
        const EDiraError e = ExpectRaises([&] { source.ReadLnRFC(line, TLineTerminator::LF); });
        EXPECT_STREQ(e.what(), "Max. Zeilenlänge überschritten.");
    }
    // A mail's own lines are capped only by what a mail may hold: a long
    // line must not keep a mail on the server for ever.
    TChunkedInput input(std::string(100000, 'y') + "\r\n.\r\n", 4096);
    TMailStreamLineSource data(input);
    std::string_view line;
    ASSERT_TRUE(data.ReadLnRFC(line, TLineTerminator::LF));
    EXPECT_EQ(line.size(), 100000u);
}

}  // namespace
}  // namespace kdv
