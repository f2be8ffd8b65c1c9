#pragma once
// SHA-256 of a byte stream, fed in pieces: names a kept mail by its content,
// so the same mail kept twice lands in the same file.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kdv {

class TSha256 {
public:
    TSha256();
    void Update(std::string_view bytes);
    // The digest as 64 lower-case hexadecimal digits; the object is spent.
    std::string FinishHex();

private:
    void Block(const unsigned char* block);

    std::array<std::uint32_t, 8> state_;
    std::array<unsigned char, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;
};

// The digest of a whole file, read block by block; nothing when it cannot
// be read to its end.
std::optional<std::string> Sha256OfFile(const std::filesystem::path& file);

}  // namespace kdv
