#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>

#include "support/temp_dir.h"

namespace kdv {
namespace {

struct HashCase {
    const char* name;
    std::string input;
    std::string digest;
};

// The case name stands for the case in test output.
void PrintTo(const HashCase& c, std::ostream* os) { *os << c.name; }

class Sha256Test : public ::testing::TestWithParam<HashCase> {};

TEST_P(Sha256Test, GivesTheKnownDigestWhateverThePieces) {
    const HashCase& c = GetParam();
    TSha256 whole;
    whole.Update(c.input);
    EXPECT_EQ(whole.FinishHex(), c.digest);
    // Fed in pieces that cross the 64-byte blocks.
    TSha256 pieces;
    for (std::size_t i = 0; i < c.input.size(); i += 7) pieces.Update(std::string_view(c.input).substr(i, 7));
    EXPECT_EQ(pieces.FinishHex(), c.digest);
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, Sha256Test,
    ::testing::Values(
        HashCase{"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        HashCase{"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        HashCase{"two_blocks_of_padding", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        HashCase{"million_a", std::string(1000000, 'a'),
                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file larger than one read block gives the digest of its bytes; a file
// that is not there gives none rather than the digest of nothing.
TEST(Sha256OfFileTest, DigestOfTheBytesOrNoneWhenUnreadable) {
    kdv::testing::TTempDir dir;
    const auto file = dir.Path() / "mail.eml";
    std::ofstream(file, std::ios::binary) << std::string(1000000, 'a');
    EXPECT_EQ(Sha256OfFile(file), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(Sha256OfFile(dir.Path() / "missing.eml"), std::nullopt);
}

}  // namespace
}  // namespace kdv
