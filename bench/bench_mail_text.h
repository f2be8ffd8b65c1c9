// Mail bodies for the benches: random bytes and their base64 lines, as a
// mail program writes an attachment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kdv::bench {

// `size` bytes from a fixed sequence: the same seed gives the same bytes.
inline std::string RandomBytes(std::size_t size, std::uint64_t seed) {
    std::string bytes(size, '\0');
    std::uint64_t state = seed;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state);
    }
    return bytes;
}

// `bytes` in base64, 76 characters a line, each line ended by CR LF.
inline void AppendBase64Lines(std::string& out, const std::string& bytes) {
    static const char* const kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::size_t column = 0;
    const auto put = [&](char c) {
        out.push_back(c);
        if (++column == 76) {
            out += "\r\n";
            column = 0;
        }
    };
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const auto v = (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16) |
                       (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
        put(kAlphabet[v >> 18]);
        put(kAlphabet[(v >> 12) & 63]);
        put(kAlphabet[(v >> 6) & 63]);
        put(kAlphabet[v & 63]);
    }
    if (i < bytes.size()) {
        std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        put(kAlphabet[v >> 18]);
        put(kAlphabet[(v >> 12) & 63]);
        put(i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=');
        put('=');
    }
    if (column != 0) out += "\r\n";
}

}  // namespace kdv::bench
