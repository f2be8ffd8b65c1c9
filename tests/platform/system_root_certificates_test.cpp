// The system's trusted roots as the TLS layer gets them: on Windows the
// certificate store's, each a whole DER certificate; on Linux none, as the
// TLS library reads the system's store itself.
#include <gtest/gtest.h>

#include "platform/system_root_certificates.h"

namespace kdv {
namespace {

TEST(SystemRootCertificates, AreWholeDerCertificatesWhereTheTlsLibraryCannotReadTheStore) {
    const std::vector<std::string> roots = SystemRootCertificates();
#ifdef _WIN32
    ASSERT_FALSE(roots.empty()) << "Windows always trusts some roots";
    for (const std::string& der : roots) {
        // SEQUENCE with a long-form length that covers exactly the rest.
        ASSERT_GE(der.size(), 4u);
        EXPECT_EQ(static_cast<unsigned char>(der[0]), 0x30);
        const unsigned first = static_cast<unsigned char>(der[1]);
        ASSERT_GE(first, 0x81u);
        std::size_t length = 0;
        const std::size_t octets = first & 0x7f;
        for (std::size_t i = 0; i < octets; ++i) length = length << 8 | static_cast<unsigned char>(der[2 + i]);
        EXPECT_EQ(2 + octets + length, der.size());
    }
#else
    EXPECT_TRUE(roots.empty());
#endif
}

}  // namespace
}  // namespace kdv
