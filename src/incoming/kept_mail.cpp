#include "incoming/kept_mail.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "mail/mail_message_parts.h"
#include "platform/dira_error.h"
#include "platform/new_file.h"
#include "platform/sha256.h"

namespace kdv {
namespace {

// Mails are copied in blocks of this size, so memory does not follow their size.
constexpr std::size_t kCopyBlock = 256 * 1024;

// Names tried for the copy in progress before the folder counts as broken.
constexpr int kMaxTempNameAttempts = 100;

constexpr const char* kKeptExtension = ".eml";
constexpr const char* kReasonExtension = ".txt";

// A random name for the copy in progress; a leftover of a crash is
// recognisably ours and never taken for a kept mail.
std::filesystem::path TempName(const std::filesystem::path& folder) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return folder / ("kdv-" + std::to_string(random()) + ".tmp");
}

[[noreturn]] void Fail(const std::string& what, const std::error_code& ec) {
    throw EDiraError(TErrorKind::ekLocal, what + ": " + ec.message());
}

// Creates the file in progress in `folder` under a fresh random name;
// `what` names it in the failure ("Kopie der Mail").
void CreateInProgress(TNewFile& file, const std::filesystem::path& folder, const std::string& what) {
    for (int attempt = 0;; ++attempt) {
        const std::error_code ec = file.Create(TempName(folder), TNewFileRights::Private);
        if (!ec) return;
        if (ec != std::errc::file_exists || attempt + 1 >= kMaxTempNameAttempts) {
            Fail(what + " kann in " + PathToUtf8(folder) + " nicht angelegt werden", ec);
        }
    }
}

}  // namespace

std::filesystem::path KeptMailPath(const std::filesystem::path& folder, const std::string& sha256Hex) {
    return folder / (sha256Hex + kKeptExtension);
}

std::filesystem::path KeptReasonPath(const std::filesystem::path& keptMail) {
    std::filesystem::path reason = keptMail;
    return reason.replace_extension(kReasonExtension);
}

std::filesystem::path KeepRawMail(const std::filesystem::path& folder, const std::filesystem::path& rawFile) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) Fail("Ordner " + PathToUtf8(folder) + " kann nicht angelegt werden", ec);

    errno = 0;
    std::ifstream in(rawFile, std::ios::binary);
    if (!in) {
        Fail("Mail " + PathToUtf8(rawFile) + " kann nicht gelesen werden",
             std::error_code(errno != 0 ? errno : EIO, std::generic_category()));
    }

    TNewFile copy;
    CreateInProgress(copy, folder, "Kopie der Mail");

    TSha256 hash;
    std::vector<char> block(kCopyBlock);
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in.gcount());
        if (got == 0) break;
        const std::string_view bytes(block.data(), got);
        hash.Update(bytes);
        if ((ec = copy.Write(bytes))) Fail("Kopie der Mail kann nicht geschrieben werden", ec);
    }
    if (in.bad()) Fail("Mail " + PathToUtf8(rawFile) + " kann nicht gelesen werden", std::make_error_code(std::errc::io_error));
    const std::filesystem::path temp = copy.Path();
    if ((ec = copy.Close())) Fail("Kopie der Mail kann nicht geschrieben werden", ec);

    const std::filesystem::path kept = KeptMailPath(folder, hash.FinishHex());
    if (std::filesystem::exists(kept, ec)) {
        std::filesystem::remove(temp, ec);
        return kept;
    }
    std::filesystem::rename(temp, kept, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        Fail("Kopie der Mail kann nicht als " + PathToUtf8(kept) + " abgelegt werden", ec);
    }
    return kept;
}

std::filesystem::path KeepTurnedAwayMail(const std::filesystem::path& folder, const std::filesystem::path& rawFile,
                                         std::string_view reason) {
    const std::filesystem::path kept = KeepRawMail(folder, rawFile);
    std::string line;
    line.reserve(reason.size() + 1);
    for (const char c : reason) line += (c == '\r' || c == '\n') ? ' ' : c;
    line += '\n';

    std::error_code ec;
    TNewFile file;
    CreateInProgress(file, folder, "Grund der Mail");
    if ((ec = file.Write(line))) Fail("Grund der Mail kann nicht geschrieben werden", ec);
    const std::filesystem::path temp = file.Path();
    if ((ec = file.Close())) Fail("Grund der Mail kann nicht geschrieben werden", ec);
    const std::filesystem::path reasonFile = KeptReasonPath(kept);
    std::filesystem::rename(temp, reasonFile, ec);
    if (ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        Fail("Grund der Mail kann nicht als " + PathToUtf8(reasonFile) + " abgelegt werden", ec);
    }
    // Best effort: a copy that keeps its first time is still there, only
    // for a shorter while.
    std::filesystem::last_write_time(kept, std::filesystem::file_time_type::clock::now(), ec);
    return kept;
}

std::size_t RemoveKeptMailsBefore(const std::filesystem::path& folder, std::filesystem::file_time_type cutoff) {
    std::size_t removed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    if (ec) return 0;
    // Collected first: removing the reason beside a mail must not meet the
    // walk through the folder.
    std::vector<std::filesystem::path> oldMails;
    std::vector<std::filesystem::path> oldReasons;
    for (const std::filesystem::directory_entry& entry : it) {
        const std::filesystem::path extension = entry.path().extension();
        if (extension != kKeptExtension && extension != kReasonExtension) continue;
        std::error_code fileError;
        if (!entry.is_regular_file(fileError)) continue;
        const auto written = entry.last_write_time(fileError);
        if (fileError || written >= cutoff) continue;
        (extension == kKeptExtension ? oldMails : oldReasons).push_back(entry.path());
    }
    for (const std::filesystem::path& mail : oldMails) {
        std::error_code fileError;
        if (!std::filesystem::remove(mail, fileError)) continue;
        ++removed;
        std::filesystem::remove(KeptReasonPath(mail), fileError);
    }
    // A reason whose mail an operator took away, or whose mail went above.
    for (const std::filesystem::path& reason : oldReasons) {
        std::error_code fileError;
        std::filesystem::path mail = reason;
        if (std::filesystem::exists(mail.replace_extension(kKeptExtension), fileError) || fileError) continue;
        std::filesystem::remove(reason, fileError);
    }
    return removed;
}

}  // namespace kdv
