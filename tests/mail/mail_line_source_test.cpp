#include "mail/memory_line_source.h"
#include "mail/stream_line_source.h"
#include "platform/dira_error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kdv {
namespace {

using TLines = std::vector<std::string>;

TLines ReadAll(TMailLineSource& source, TLineTerminator terminator) {
    TLines lines;
    std::string_view line;
    while (source.ReadLnRFC(line, terminator)) lines.emplace_back(line);
    // The end stays the end.
    EXPECT_FALSE(source.ReadLnRFC(line, terminator));
    EXPECT_TRUE(line.empty());
    return lines;
}

// Hands out the bytes in chunks of a fixed size, like a slow connection.
class TChunkedInput final : public TByteInput {
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
        {"CR LF mode keeps bare LF inside", "a\nb\r\nc\r\n", CRLF, {"a\nb", "c"}},
        {"CR LF mode: last line ending in LF", "a\r\nb\n", CRLF, {"a", "b"}},
        {"CR LF mode: a dot after a bare LF stays as it is", "x\n.y\r\n", CRLF, {"x\n.y"}},
        {"no data at all", "", LF, {}},
    };
    for (const auto& c : cases) {
        TMailMemoryLineSource source(c.data);
        EXPECT_EQ(ReadAll(source, c.terminator), c.expected) << c.name;
    }
}

TEST(StreamLineSource, UnstuffsDotsAndStopsAtTheEndLine) {
    const auto LF = TLineTerminator::LF;
    const auto CRLF = TLineTerminator::CRLF;
    const TSourceCase cases[] = {
        {"stuffed dots", "..\r\n..x\r\nab\r\n.\r\nnot read\r\n", LF, {".", ".x", "ab"}},
        {"stream ends without end line", "a\r\nb", LF, {"a", "b"}},
        {"CR LF mode", "a\nb\r\n.\r\n", CRLF, {"a\nb"}},
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

TEST(StreamLineSource, RefusesLinesOverTheLimit) {
    const std::size_t limit = TMailStreamLineSource::kConnectionMaxLineLength;
    {
        TChunkedInput input(std::string(limit, 'x') + "\r\n.\r\n", 1000);
        TMailStreamLineSource source(input);
        std::string_view line;
        ASSERT_TRUE(source.ReadLnRFC(line, TLineTerminator::LF));
        EXPECT_EQ(line.size(), limit);
    }
    for (const std::string tail : {"\r\n", ""}) {
        TChunkedInput input(std::string(limit + 1, 'x') + tail, 1000);
        TMailStreamLineSource source(input);
        std::string_view line;
        try {
            source.ReadLnRFC(line, TLineTerminator::LF);
            ADD_FAILURE() << "an over-long line was accepted";
        } catch (const EDiraError& e) {
            EXPECT_STREQ(e.what(), "Max. Zeilenlänge überschritten.");
        }
    }
    // Without a limit (a mail held in memory) any length goes.
    TChunkedInput input(std::string(100000, 'y') + "\r\n", 4096);
    TMailStreamLineSource unlimited(input, 0);
    std::string_view line;
    ASSERT_TRUE(unlimited.ReadLnRFC(line, TLineTerminator::LF));
    EXPECT_EQ(line.size(), 100000u);
}

}  // namespace
}  // namespace kdv
