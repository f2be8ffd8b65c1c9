#include "platform/path_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kdv {
namespace {

TEST(PathText, Utf8RoundTrip) {
    const std::string name = "Lage Süd/Grüße.txt";
    EXPECT_EQ(PathToUtf8(PathFromUtf8(name)), name);
    EXPECT_EQ(PathToUtf8(PathFromUtf8(name).filename()), "Grüße.txt");
}

}  // namespace
}  // namespace kdv
