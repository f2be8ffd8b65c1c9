#pragma once
// A byte sink that writes into a file, for messages saved rather than sent.
#include <filesystem>
#include <fstream>
#include <string_view>

#include "mail/byte_sink.h"

namespace kdv {

class TFileSink final : public TByteSink {
public:
    // Creates (or empties) the file; EDiraError when it cannot be opened.
    explicit TFileSink(const std::filesystem::path& path);
    TFileSink(const TFileSink&) = delete;
    TFileSink& operator=(const TFileSink&) = delete;

    // EDiraError when the bytes cannot be written (disk full).
    void Write(std::string_view bytes) override;
    // Writes what is buffered and closes; EDiraError when that fails.
    void Close();

private:
    std::filesystem::path path_;
    std::ofstream file_;
};

}  // namespace kdv
