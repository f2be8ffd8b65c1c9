#include "mail/base64_decoder.h"
#include "mail/binhex_decoder.h"
#include "mail/quoted_printable_decoder.h"
#include "mail/uue_decoder.h"
#include "platform/dira_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/expect_raises.h"

using kdv::testing::ExpectRaises;

namespace kdv {
namespace {

// Feeds the input to a fresh decoder one byte per Step, so state carried
// between calls is exercised at every position.
template <class TDecoder>
std::string DecodeByteByByte(std::string_view input) {
    std::string out;
    TStringSink sink(out);
    TDecoder decoder(sink);
    for (char c : input) decoder.Step(std::string_view(&c, 1));
    decoder.Finish();
    return out;
}

struct TCodecCase {
    const char* name;
    std::string input;
    std::string expected;
};

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) s.push_back(static_cast<char>(v));
    return s;
}

TEST(Base64Decoder, DecodesWholeAndByteByByte) {
    const TCodecCase cases[] = {
        {"groups of four", "SGFsbG8gV2VsdA==", "Hallo Welt"},
        {"line breaks between groups", "SGFs\r\nbG8g\r\nV2VsdA==\r\n", "Hallo Welt"},
        {"group split across lines", "SGFsb\r\nG8=", "Hallo"},
        {"unpadded remainder of three", "SGFsbG8", "Hallo"},
        {"unpadded remainder of two", "SGFsbA", "Hall"},
        {"a single dangling character carries no byte", "SGFsbG8gQ", "Hallo "},
        {"blank and stray byte do not shift later groups", "SGFs bG8g\x01V2VsdA==", "Hallo Welt"},
        {"concatenated padded streams", "SGk=SGk=", "HiHi"},
        {"all byte values", "AP8QgA==", Bytes({0x00, 0xFF, 0x10, 0x80})},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TBase64Decoder::Decode(c.input), c.expected) << c.name;
        EXPECT_EQ(DecodeByteByByte<TBase64Decoder>(c.input), c.expected) << c.name << " (byte by byte)";
    }
}

TEST(QuotedPrintableDecoder, DecodesWholeAndByteByByte) {
    const TCodecCase cases[] = {
        {"hex escapes in either case", "Gr=FC=df=65\r\n", "Gr\xFC\xDF" "e\r\n"},
        {"soft break joins lines", "lang=\r\nes Wort\r\n", "langes Wort\r\n"},
        {"soft break after LF alone", "ab=\ncd\n", "abcd\r\n"},
        {"trailing blanks are transport padding", "Ende  \t\r\nweiter\r\n", "Ende\r\nweiter\r\n"},
        {"encoded blank before the break stays", "Ende=20\r\n", "Ende \r\n"},
        {"blanks before a soft break are dropped", "a =  \r\nb\r\n", "a b\r\n"},
        {"equals sign before no hex digit stays", "a=zb\r\n", "a=zb\r\n"},
        {"equals sign before one hex digit and a blank stays", "a=4 b\r\n", "a=4 b\r\n"},
        {"equals sign before one hex digit at the end stays", "a=4 \r\n", "a=4\r\n"},
        {"equals sign before a hex digit and a letter stays", "a=2Gb=ZZ\r\n", "a=2Gb=ZZ\r\n"},
        {"last line without break", "x=3D1", "x=1"},
        {"equals sign at the very end", "x=", "x"},
        {"empty lines kept", "\r\n\r\n", "\r\n\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TQuotedPrintableDecoder::Decode(c.input), c.expected) << c.name;
        EXPECT_EQ(DecodeByteByByte<TQuotedPrintableDecoder>(c.input), c.expected) << c.name << " (byte by byte)";
    }
}

TEST(QuotedPrintableDecoder, DecodeLineContentLeavesTheHardBreakToTheCaller) {
    std::string out;
    TStringSink sink(out);
    TQuotedPrintableDecoder decoder(sink);
    EXPECT_TRUE(decoder.DecodeLineContent("Gr=FC=DFe  "));
    EXPECT_FALSE(decoder.DecodeLineContent("weich="));
    EXPECT_TRUE(decoder.DecodeLineContent("bricht"));
    decoder.Finish();
    EXPECT_EQ(out, "Gr\xFC\xDF" "eweichbricht");
}

TEST(QuotedPrintableDecoder, DecodeLineEqualsStepWithBreak) {
    std::string a, b;
    TStringSink sa(a), sb(b);
    TQuotedPrintableDecoder da(sa), db(sb);
    for (const char* line : {"Gr=FC=DFe  ", "weich=", "bricht", ""}) {
        da.DecodeLine(line);
        db.Step(std::string(line) + "\r\n");
    }
    da.Finish();
    db.Finish();
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, "Gr\xFC\xDF" "e\r\nweichbricht\r\n\r\n");
}

// Writes UUE or XXE lines of 45 bytes each, the way encoders do.
std::string EncodeUue(std::string_view data, bool xxe) {
    const char* xxe_alphabet = "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    auto ch = [&](unsigned v) { return xxe ? xxe_alphabet[v & 63] : static_cast<char>(v == 0 ? '`' : v + 32); };
    std::string out;
    for (std::size_t pos = 0; pos < data.size(); pos += 45) {
        const std::string_view chunk = data.substr(pos, 45);
        out.push_back(ch(static_cast<unsigned>(chunk.size())));
        for (std::size_t i = 0; i < chunk.size(); i += 3) {
            unsigned v = 0;
            for (std::size_t k = 0; k < 3; ++k)
                v = v << 8 | (i + k < chunk.size() ? static_cast<unsigned char>(chunk[i + k]) : 0u);
            for (int s = 18; s >= 0; s -= 6) out.push_back(ch(v >> s & 63));
        }
        out.append("\n");
    }
    out.append(xxe ? "+\nend\n" : "`\nend\n");
    return out;
}

TEST(UueDecoder, DecodesUueAndXxeAndStopsAtEnd) {
    std::string data;
    for (int i = 0; i < 200; ++i) data.push_back(static_cast<char>(i * 7));
    for (const bool xxe : {false, true}) {
        const std::string encoded = EncodeUue(data, xxe) + "trailing text\n";
        std::string out;
        TStringSink sink(out);
        TUueDecoder decoder(sink);
        EXPECT_FALSE(decoder.Step(encoded)) << "the end line stops the block";
        EXPECT_EQ(out, data) << (xxe ? "XXE" : "UUE");
        EXPECT_EQ(decoder.SchemeName(), xxe ? "XXE" : "UUE");
        EXPECT_EQ(DecodeByteByByte<TUueDecoder>(encoded), data) << (xxe ? "XXE" : "UUE") << " byte by byte";
    }
}

TEST(UueDecoder, ReadsShortLinesAndHandWrittenBlock) {
    // "Cat" with the trailing blank of its last group stripped by a mailer.
    EXPECT_EQ(TUueDecoder::Decode("#0V%T\n`\nEND\n"), "Cat");
    // A group cut short reads its missing characters as zero bits.
    EXPECT_EQ(TUueDecoder::Decode("#0V%\n end \n"), "Ca@");
}

TEST(UueDecoder, TellsADataLineFromProse) {
    struct TCase {
        const char* name;
        std::string line;
        bool data;
    };
    const std::string full = EncodeUue(std::string(45, 'a'), false);
    const std::string full_xxe = EncodeUue(std::string(45, 'a'), true);
    const TCase cases[] = {
        {"full UUE line", full.substr(0, full.find('\n')), true},
        {"full XXE line", full_xxe.substr(0, full_xxe.find('\n')), true},
        {"short UUE line", "#0V%T", true},
        {"UUE line with its last blanks stripped", "#0V%", true},
        {"padding line of an empty block", "`", true},
        {"a greeting", "Hallo Herr Meier,", false},
        {"a word in capitals", "ANHANG", false},
        {"an empty line", "", false},
        {"the end line", "end", false},
        {"characters outside the alphabet", "~~~", false},
    };
    for (const auto& c : cases) EXPECT_EQ(TUueDecoder::IsFirstDataLine(c.line), c.data) << c.name;
}

TEST(UueDecoder, RefusesUnknownScheme) {
    const char* firsts[] = {"end", "", "~abc", "\x80xyz"};
    for (const char* first : firsts) {
        TNullSink sink;
        TUueDecoder decoder(sink);
        const EDiraError e = ExpectRaises([&] { decoder.DecodeLine(first); });
        EXPECT_STREQ(e.what(), "Nicht erkanntes UUE-Codierungsschema.");
        EXPECT_EQ(e.ErrorKind(), TErrorKind::ekMalformed);
    }
}

// A BinHex 4.0 encoder for test data: header with name, one data fork, empty
// resource fork, run-length compression of runs and of the marker byte.
std::string EncodeBinHex(std::string_view name, std::string_view data) {
    auto be32 = [](std::uint32_t v) {
        return Bytes({static_cast<int>(v >> 24 & 255), static_cast<int>(v >> 16 & 255), static_cast<int>(v >> 8 & 255),
                      static_cast<int>(v & 255)});
    };
    std::string plain;
    plain.push_back(static_cast<char>(name.size()));
    plain.append(name);
    plain.push_back('\0');
    plain.append("TEXTttxt");
    plain.append(2, '\0');
    plain.append(be32(static_cast<std::uint32_t>(data.size())));
    plain.append(be32(0));
    plain.append(2, '\0');  // header CRC, not checked
    plain.append(data);
    plain.append(4, '\0');  // data CRC and resource CRC
    std::string rle;
    for (std::size_t i = 0; i < plain.size();) {
        const char c = plain[i];
        std::size_t run = 1;
        while (i + run < plain.size() && plain[i + run] == c && run < 255) ++run;
        if (static_cast<unsigned char>(c) == 0x90) {
            rle.append(Bytes({0x90, 0x00}));
            i += 1;
        } else if (run >= 3) {
            rle.push_back(c);
            rle.append(Bytes({0x90, static_cast<int>(run)}));
            i += run;
        } else {
            rle.push_back(c);
            i += 1;
        }
    }
    const char* alphabet = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
    std::string text = "(This file must be converted with BinHex 4.0)\r\n:";
    unsigned bits = 0;
    int count = 0;
    int column = 1;
    auto put = [&](unsigned v) {
        text.push_back(alphabet[v & 63]);
        if (++column == 64) {
            text.append("\r\n");
            column = 0;
        }
    };
    for (unsigned char c : rle) {
        bits = bits << 8 | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            put(bits >> count);
        }
    }
    if (count > 0) put(bits << (6 - count));
    text.append(":\r\n");
    return text;
}

TEST(BinHexDecoder, DecodesDataForkWithRunsAndMarkerBytes) {
    std::string data = "Hallo";
    data.append(40, 'x');
    data.append(Bytes({0x90, 0x90, 0x01, 0x90}));
    data.append("Ende");
    const std::string encoded = EncodeBinHex("bericht.txt", data) + "after the end marker\r\n";
    std::string out;
    TStringSink sink(out);
    TBinHexDecoder decoder(sink);
    decoder.Step(encoded);
    decoder.Finish();
    EXPECT_EQ(out, data);
    EXPECT_EQ(decoder.StoredName(), "bericht.txt");
    EXPECT_EQ(DecodeByteByByte<TBinHexDecoder>(encoded), data);
}

TEST(BinHexDecoder, RunLengthExpansionIsCapped) {
    // Runs of 255 bytes from four characters each: a small text, a large fork.
    constexpr std::size_t kCap = 1024 * 1024;
    const std::string encoded = EncodeBinHex("gross.bin", std::string(2 * kCap, 'x'));
    ASSERT_LT(encoded.size(), kCap / 20);
    std::string out;
    TStringSink sink(out);
    TBinHexDecoder decoder(sink, kCap);
    const EDiraError e = ExpectRaises([&] {
        decoder.Step(encoded);
        decoder.Finish();
    });
    EXPECT_STREQ(e.what(), "Die BinHex-Anlage ist entpackt größer als 1 MB.");
    // The mail's content, not the peer's announcement: no ekTooLarge.
    EXPECT_EQ(e.ErrorKind(), TErrorKind::ekMalformed);
    EXPECT_LE(out.size(), kCap);
    TBinHexDecoder exact(sink, 2 * kCap);
    EXPECT_NO_THROW(exact.Step(encoded));
}

TEST(BinHexDecoder, TruncatedOrGarbledInputNeverFails) {
    const std::string encoded = EncodeBinHex("a", std::string(1000, 'q'));
    for (std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{60}, encoded.size() / 2}) {
        EXPECT_NO_THROW(TBinHexDecoder::Decode(encoded.substr(0, cut))) << cut;
    }
    EXPECT_EQ(TBinHexDecoder::Decode("no start marker here"), "");
}

}  // namespace
}  // namespace kdv
