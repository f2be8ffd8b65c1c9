#pragma once
// A loopback port on which nothing listens, for tests of a refused connect.
#include <cstdint>

#include "support/test_socket.h"

namespace kdv::testing {

// Bound, then closed again: free unless another process takes it at once.
inline std::uint16_t FreePort() { return UnusedLoopbackPort(); }

}  // namespace kdv::testing
