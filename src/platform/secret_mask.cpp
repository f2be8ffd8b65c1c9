#include "platform/secret_mask.h"

namespace kdv {

std::string MaskSecrets(std::string text, std::initializer_list<std::string_view> secrets) {
    constexpr std::size_t kShortest = 4;
    for (const std::string_view secret : secrets) {
        if (secret.size() < kShortest) continue;
        for (std::size_t at = text.find(secret); at != std::string::npos;
             at = text.find(secret, at + kSecretMask.size())) {
            text.replace(at, secret.size(), kSecretMask);
        }
    }
    return text;
}

}  // namespace kdv
