#pragma once
// RS256 signatures (RSASSA-PKCS1-v1_5 with SHA-256) for the JSON Web Tokens
// a client presents to a token endpoint instead of a secret, and the
// thumbprints by which the endpoint finds the certificate. Uses the TLS
// library the service already loads at run time.
#include <string>
#include <string_view>

namespace kdv {

// The signature of `data` with the RSA private key in `pem_key` (PKCS#1 or
// PKCS#8, unencrypted). Raises EDiraError (ekUsage) for a key that cannot be
// read or is no RSA key, (ekTls) when the library is missing.
std::string SignRs256(const std::string& pem_key, std::string_view data);

// SHA-1 and SHA-256 of the DER form of the certificate in `pem_certificate`
// (raw bytes). Raises EDiraError (ekUsage) when it cannot be read.
std::string CertificateSha1(const std::string& pem_certificate);
std::string CertificateSha256(const std::string& pem_certificate);

}  // namespace kdv
