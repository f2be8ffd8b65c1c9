#include "service/whitelist.h"

#include <system_error>

#include "platform/dira_error.h"
#include "platform/path_text.h"
#include "platform/text_file_encoding.h"
#include "platform/text_file_io.h"
#include "platform/text_file_lines.h"

namespace kdv {

namespace {

// A list of sender addresses stays far below this; a larger file is the
// wrong file and is refused rather than held in memory and searched per mail.
constexpr std::uintmax_t kMaxWhitelistBytes = 16u * 1024 * 1024;

// The reason in German for the failures an operator can mend; others keep
// the system's own text.
std::string ReasonText(const std::error_code& ec) {
    if (ec == std::errc::no_such_file_or_directory) return "Datei nicht gefunden";
    if (ec == std::errc::permission_denied || ec == std::errc::operation_not_permitted) return "Zugriff verweigert";
    if (ec == std::errc::is_a_directory) return "ist ein Ordner";
    if (ec == std::errc::file_too_large) {
        return "größer als " + std::to_string(kMaxWhitelistBytes / (1024 * 1024)) + " MB";
    }
    return ec.message();
}

[[noreturn]] void RaiseUnreadable(const std::filesystem::path& fileName, const std::error_code& ec) {
    throw EDiraError(TErrorKind::ekLocal, "Whitelist " + PathToUtf8(fileName) + " kann nicht gelesen werden: " + ReasonText(ec));
}

}  // namespace

TWhitelist::TWhitelist() : Entries{"*"} {}

std::string TWhitelist::Text() const {
    std::string text;
    for (const std::string& entry : Entries) text += entry + "\r\n";
    return text;
}

void TWhitelist::SetText(std::string_view text) {
    std::vector<std::string> entries;
    for (const TTextLine& line : SplitTextLines(text)) entries.emplace_back(line.Content);
    Entries = std::move(entries);
}

void TWhitelist::LoadFromFile(const std::filesystem::path& FileName) {
    std::string bytes;
    if (const std::error_code ec = ReadWholeFile(FileName, kMaxWhitelistBytes, bytes)) RaiseUnreadable(FileName, ec);
    SetText(TextFileToUtf8(bytes));
}

void TWhitelist::LoadIfPresent(const std::filesystem::path& FileName) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(FileName, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) RaiseUnreadable(FileName, ec);
    if (!std::filesystem::exists(status)) {
        SetText("*");
        return;
    }
    LoadFromFile(FileName);
}

}  // namespace kdv
