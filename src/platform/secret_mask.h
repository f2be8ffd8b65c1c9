#pragma once
// Secrets (access tokens, client secrets, refresh tokens) must never reach
// the log, the check's output or an error text: a peer may echo what it was
// sent, a library may quote a request.
#include <initializer_list>
#include <string>
#include <string_view>

namespace kdv {

inline constexpr std::string_view kSecretMask = "***";

// `text` with every occurrence of each secret replaced by kSecretMask.
// Secrets shorter than four bytes are left alone: masking them would
// garble ordinary words, and such a value protects nothing anyway.
std::string MaskSecrets(std::string text, std::initializer_list<std::string_view> secrets);

}  // namespace kdv
