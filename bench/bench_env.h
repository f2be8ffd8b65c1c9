// The sandbox settings a bench reads from its environment (the env file that
// scripts/mariadb-sandbox.sh or scripts/mail-sandbox.sh writes).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace kdv::bench {

// The value of `name`; a bench without it cannot run, so a missing or empty
// value ends the program with exit status 2 and says what to do.
inline std::string RequiredEnv(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        std::fprintf(stderr, "%s is not set; start the sandbox and source its env file\n", name);
        std::exit(2);
    }
    return value;
}

}  // namespace kdv::bench
