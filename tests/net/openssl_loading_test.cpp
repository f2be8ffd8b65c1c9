// Loading the TLS library at run time, and what is said when that fails.
#include <gtest/gtest.h>

#include "net/openssl_api.h"

namespace kdv::testing {
namespace {

struct TLoadCase {
    const char* name;
    const char* crypto;
    const char* ssl;
    const char* failure_start;  // "" : usable
};

class OpenSslLoading : public ::testing::TestWithParam<TLoadCase> {};

TEST_P(OpenSslLoading, UsableOrSaysWhy) {
    const TLoadCase& c = GetParam();
    const std::string failure = OpenSslLoadFailure(c.crypto, c.ssl);
    if (*c.failure_start == '\0') {
        EXPECT_EQ(failure, "");
    } else {
        EXPECT_EQ(failure.rfind(c.failure_start, 0), 0u) << failure;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OpenSslLoading,
    ::testing::Values(TLoadCase{"SystemLibraries", kLibCryptoFileName, kLibSslFileName, ""},
                      TLoadCase{"MissingLibrary", kLibCryptoFileName, "libdiravid-no-ssl.so.3",
                                "Fehler beim Laden von libdiravid-no-ssl.so.3 ("},
                      // The crypto library in the place of the TLS library
                      // lacks the TLS entry points.
                      TLoadCase{"MissingEntryPoints", kLibCryptoFileName, kLibCryptoFileName,
                                "OPENSSL_init_ssl (nicht gefunden)\r\nTLS_client_method (nicht gefunden)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(OpenSslLoading, ProcessCopyLoads) {
    EXPECT_NO_THROW(LoadOpenSsl());
}

}  // namespace
}  // namespace kdv::testing
