// The one line reader behind every mail line source: what it promises beyond
// the sources' own tests (the transfer's end, and reading a text in place).
#include "platform/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/dira_error.h"
#include "support/error_kind_name.h"

namespace kdv::testing {
namespace {

// Hands out its bytes one at a time and counts the reads after them: a
// transfer's reader must stop at the "." line without asking for more.
class TStrictInput final : public ILineInput {
public:
    explicit TStrictInput(std::string data) : data_(std::move(data)) {}
    std::size_t Read(char* buffer, std::size_t size) override {
        EXPECT_GT(size, 0u);
        if (at_ >= data_.size()) {
            ++reads_past_end_;
            return 0;
        }
        buffer[0] = data_[at_++];
        return 1;
    }
    // All bytes read, and no read after them.
    bool ReadExactly() const { return at_ == data_.size() && reads_past_end_ == 0; }

private:
    std::string data_;
    std::size_t at_ = 0;
    int reads_past_end_ = 0;
};

struct TTransferCase {
    const char* name;
    std::string wire;
    std::string text;  // what the transfer carries, or the failure
};

class DotUnstuffedInput : public ::testing::TestWithParam<TTransferCase> {};

TEST_P(DotUnstuffedInput, GivesTheMailTextUpToTheEndLine) {
    const TTransferCase& c = GetParam();
    TStrictInput wire(c.wire);
    TDotUnstuffedInput input(wire);
    std::string text;
    char block[5];
    try {
        while (const std::size_t got = input.Read(block, sizeof block)) text.append(block, got);
        EXPECT_EQ(input.Read(block, sizeof block), 0u);
        EXPECT_TRUE(wire.ReadExactly());
    } catch (const EDiraError& error) {
        text += std::string("|error ") + KindName(error.ErrorKind()) + " " + error.what();
    }
    EXPECT_EQ(text, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DotUnstuffedInput,
    ::testing::Values(
        TTransferCase{"DoubledDotsLoseOne", "..\r\n..x\r\n...\r\n.\r\n", ".\r\n.x\r\n..\r\n"},
        TTransferCase{"SingleDotBeforeDataStays", ".x\r\n.\r\n", ".x\r\n"},
        TTransferCase{"DotsInsideALineStay", "a..\r\nb.\r\n.\r\n", "a..\r\nb.\r\n"},
        TTransferCase{"EndLineWithBareLf", "a\n.\n", "a\n"},
        TTransferCase{"DotAndCrBeforeOtherDataStay", ".\r.\r\n.\r\n", ".\r.\r\n"},
        TTransferCase{"LineStartsOnlyAfterLf", "a\r.\r\n.\r\n", "a\r.\r\n"},
        TTransferCase{"OnlyTheEndLine", ".\r\n", ""},
        TTransferCase{"EndsWithoutEndLine", "a\r\n",
                      "a\r\n|error closed Die Verbindung endete vor dem Ende der Nachricht."},
        TTransferCase{"EndsAfterALoneDot", "a\r\n.",
                      "a\r\n|error closed Die Verbindung endete vor dem Ende der Nachricht."},
        TTransferCase{"EndsAfterDotAndCr", "a\r\n.\r",
                      "a\r\n|error closed Die Verbindung endete vor dem Ende der Nachricht."},
        TTransferCase{"NothingAtAll", "", "|error closed Die Verbindung endete vor dem Ende der Nachricht."}),
    [](const auto& info) { return std::string(info.param.name); });

// A text in memory is read where it lies: a 50 MB mail is not copied.
TEST(LineReader, ReadsATextInMemoryInPlace) {
    const std::string text = "a\r\nbc\rd";
    TLineReader reader(text, {});
    std::string_view line;
    while (reader.ReadLine(line, TLineTerminator::LF)) {
        EXPECT_GE(line.data(), text.data());
        EXPECT_LE(line.data() + line.size(), text.data() + text.size());
    }
}

// A line longer than a read block grows the buffer; one over the limit is
// refused as soon as it has grown past it, not after the whole input.
TEST(LineReader, LongLinesAcrossBlocks) {
    const std::string long_line(3 * TLineReader::kReadBlock + 5, 'y');
    {
        TStrictInput input(long_line + "\r\nz");
        TLineReader reader(input, {.MaxLineLength = long_line.size()});
        std::string_view line;
        ASSERT_TRUE(reader.ReadLine(line, TLineTerminator::LF));
        EXPECT_EQ(line, long_line);
        EXPECT_EQ(reader.LineBreak(), "\r\n");
    }
    class TEndless final : public ILineInput {
    public:
        std::size_t Read(char* buffer, std::size_t size) override {
            read += size;
            std::fill_n(buffer, size, 'q');
            return size;
        }
        std::size_t read = 0;
    } endless;
    TLineReader reader(endless, {.MaxLineLength = 100000});
    std::string_view line;
    try {
        reader.ReadLine(line, TLineTerminator::LF);
        ADD_FAILURE() << "no error";
    } catch (const EDiraError& error) {
        EXPECT_EQ(error.ErrorKind(), TErrorKind::ekLineTooLong);
        EXPECT_STREQ(error.what(), "Max. Zeilenlänge überschritten.");
    }
    EXPECT_LE(endless.read, 100000 + TLineReader::kReadBlock);
}

}  // namespace
}  // namespace kdv::testing
