#pragma once
// The name of this machine, as the mail clients introduce themselves.
#include <string>

namespace kdv {

// The host name; "localhost" when the system has none.
std::string LocalHostName();

}  // namespace kdv
