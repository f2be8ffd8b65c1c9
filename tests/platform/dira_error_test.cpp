// The kind an error carries, so callers decide without comparing texts.
#include <string>
#include <type_traits>

#include <gtest/gtest.h>

#include "platform/dira_error.h"

namespace kdv {
namespace {

// No error is raised without saying its kind: the compiler refuses it.
static_assert(!std::is_constructible_v<EDiraError, std::string>);
static_assert(!std::is_constructible_v<EDiraError, const char*>);

TEST(DiraError, ErrorsWithoutReplyCodeHaveNone) {
    const EDiraError error(TErrorKind::ekOther, "Anlage hat keinen Inhalt.");
    EXPECT_EQ(error.ErrorKind(), TErrorKind::ekOther);
    EXPECT_EQ(error.ReplyCode(), 0);
    EXPECT_STREQ(error.what(), "Anlage hat keinen Inhalt.");
}

TEST(DiraError, KindAndReplyCodeSurviveACopyAsTheBaseType) {
    try {
        throw EDiraError(TErrorKind::ekReply, "550 Postfach unbekannt\r\n", 550);
    } catch (const std::runtime_error& caught) {
        const auto* error = dynamic_cast<const EDiraError*>(&caught);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->ErrorKind(), TErrorKind::ekReply);
        EXPECT_EQ(error->ReplyCode(), 550);
    }
}

}  // namespace
}  // namespace kdv
