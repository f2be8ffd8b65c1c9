#pragma once
// What the tests against the mail sandbox's servers share: its settings come
// from the environment (scripts/mail-sandbox.sh writes them to DIR/env).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace kdv::testing {

// The value of an environment variable; empty when it is not set.
inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace kdv::testing

// Skips the test when no mail sandbox is running, unless
// DIRAVID_REQUIRE_MAIL=1 makes its absence a failure.
#define KDV_REQUIRE_MAIL_SANDBOX()                                                            \
    do {                                                                                      \
        if (::kdv::testing::Env("DIRAVID_MAIL_HOST").empty()) {                               \
            if (::kdv::testing::Env("DIRAVID_REQUIRE_MAIL") == "1") {                         \
                FAIL() << "DIRAVID_REQUIRE_MAIL=1 but no mail sandbox";                       \
            }                                                                                 \
            GTEST_SKIP() << "no mail sandbox (scripts/mail-sandbox.sh start DIR; source DIR/env)"; \
        }                                                                                     \
    } while (false)
