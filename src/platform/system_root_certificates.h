#pragma once
// The root certificates the operating system trusts, for a TLS library that
// cannot find them itself.
#include <string>
#include <vector>

namespace kdv {

// Each certificate as its DER bytes. Empty where the TLS library already
// reads the system's store from its default paths (Linux); on Windows the
// machine's and the account's "ROOT" stores, which OpenSSL does not read.
std::vector<std::string> SystemRootCertificates();

}  // namespace kdv
