#include "incoming/file_mailbox.h"

#include <fstream>
#include <system_error>
#include <utility>

#include "platform/path_text.h"

namespace kdv {
namespace {

// Read in blocks: a mail file is never held whole in memory.
constexpr std::size_t kCopyBlockBytes = 64 * 1024;

}  // namespace

TFileMailbox::TFileMailbox(std::vector<std::filesystem::path> files) : files_(std::move(files)) {}

std::string TFileMailbox::Name(std::size_t i) const { return PathToUtf8(files_[i]); }

bool TFileMailbox::Fetch(std::size_t i, TByteSink& sink, std::optional<std::uint64_t>, std::uint64_t) {
    const std::filesystem::path& path = files_[i];
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(path, error);
    if (error) throw EDiraError(TErrorKind::ekLocal, "Datei kann nicht gelesen werden: " + error.message());
    if (size > kMaxImportDateiBytes) {
        throw EDiraError(TErrorKind::ekLocal, "Datei ist zu groß (" + std::to_string(size) + " Bytes, höchstens " +
                                                  std::to_string(kMaxImportDateiBytes) + ")");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EDiraError(TErrorKind::ekLocal, "Datei kann nicht geöffnet werden");
    std::string block(kCopyBlockBytes, '\0');
    std::uintmax_t left = size;
    while (left > 0) {
        in.read(block.data(), static_cast<std::streamsize>(std::min<std::uintmax_t>(left, block.size())));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        sink.Write(std::string_view(block.data(), got));
        left -= got;
    }
    if (in.bad()) throw EDiraError(TErrorKind::ekLocal, "Datei kann nicht gelesen werden");
    return true;
}

void TFileMailbox::PassFailed(const std::string& reason, TErrorKind) { failure_ = reason; }

}  // namespace kdv
