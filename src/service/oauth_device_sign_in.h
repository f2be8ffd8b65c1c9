#pragma once
// "diravid --oauth2-anmelden [SECTION]": the device authorization grant
// (RFC 8628) for a mailbox of a person. The operator opens the address
// shown in any browser and enters the code; the program polls the token
// endpoint meanwhile and stores the refresh token in the home folder,
// readable by the service's user only.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>

#include "net/https_client.h"

namespace kdv {

// Waits between two polls; tests pass one that does not sleep.
using TPollWait = std::function<void(std::chrono::seconds)>;

// Returns 0 when the refresh token is stored, else 1 with the reason on
// `out`. No token or secret is written to `out`.
int RunOAuthDeviceSignIn(const std::filesystem::path& home, const std::string& section, std::ostream& out,
                         std::shared_ptr<IHttpsClient> https, const TPollWait& wait);

}  // namespace kdv
