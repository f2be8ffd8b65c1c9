#include "platform/system_root_certificates.h"

namespace kdv {

// OpenSSL's default verify paths are the system's store here.
std::vector<std::string> SystemRootCertificates() { return {}; }

}  // namespace kdv
