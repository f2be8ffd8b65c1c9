// The spool of a pass holds one mail at a time, byte for byte as it arrived,
// however the connection cut it into pieces.
#include "incoming/spooled_mail.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/sha256.h"
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

}  // namespace
}  // namespace kdv::testing
