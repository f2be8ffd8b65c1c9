#pragma once
// [Verbindung] Zeitlimit: how long a connection to the database or to a mail
// server may wait for its peer while connecting, reading or writing, so that
// a peer that hangs cannot stop the service.
#include <chrono>

#include "platform/ini_file.h"

namespace kdv {

inline constexpr std::chrono::seconds kDefaultZeitlimit{60};
// Longest limit taken; more is a typing error (and one day is the most the
// database layer accepts).
inline constexpr std::chrono::seconds kMaxZeitlimit{86400};

// The limit from `Ini`, read at each call. A missing key, a value that is no
// number, and zero or less give kDefaultZeitlimit; more than kMaxZeitlimit
// gives kMaxZeitlimit.
std::chrono::seconds ReadZeitlimit(const TIniFile& Ini);

}  // namespace kdv
