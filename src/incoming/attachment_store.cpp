#include "incoming/attachment_store.h"

#include <algorithm>
#include <fstream>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

#include "incoming/filing_fault_point.h"
#include "mail/mail_text_util.h"
#include "platform/dira_error.h"
#include "platform/new_file.h"

namespace kdv {
namespace {

// Temporary names tried before the folder counts as broken.
constexpr int kMaxTempNameAttempts = 100;

// Every failure of storing is the local disk's or folder's: the received
// content waits in a local file too.
[[noreturn]] void Fail(const std::string& reason) {
    throw EDiraError(TErrorKind::ekLocal, std::string(kAnlageNichtGespeichert) + " " + reason);
}

std::filesystem::path TempName(const std::filesystem::path& folder) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return folder / (std::string(kAnhangTempPrefix) + std::to_string(random()) + kAnhangTempEndung);
}

bool IsTempName(const std::string& name) {
    return name.starts_with(kAnhangTempPrefix) && name.ends_with(kAnhangTempEndung);
}

// Gives the whole file `temp` the name `target` unless that name is taken
// (by a file, a folder or a link). A hard link refuses a taken name in one
// step; a file system without hard links (some shares) gets a check and a
// rename instead, which only another writer in the message's own folder
// could race.
std::error_code Publish(const std::filesystem::path& temp, const std::filesystem::path& target) {
    std::error_code ec;
    std::filesystem::create_hard_link(temp, target, ec);
    if (!ec) {
        std::error_code ignored;
        std::filesystem::remove(temp, ignored);
        return {};
    }
    if (ec == std::errc::file_exists) return ec;
    const std::filesystem::file_status status = std::filesystem::symlink_status(target, ec);
    if (std::filesystem::exists(status)) return std::make_error_code(std::errc::file_exists);
    ec.clear();
    std::filesystem::rename(temp, target, ec);
    return ec;
}

}  // namespace

std::string AnhangNamensVariante(const std::string& name, std::size_t variant) {
    if (variant <= 1) return name;
    const std::size_t dot = name.rfind('.');
    const std::size_t cut = dot == std::string::npos || dot == 0 ? name.size() : dot;
    return name.substr(0, cut) + "_" + std::to_string(variant) + name.substr(cut);
}

std::string TAttachmentFolder::Store(TMailAttachment& attachment, const std::string& name) {
    // Failures name the file as the operator will look for it.
    const std::string target = PathToUtf8(folder_ / PathFromUtf8(name));
    TNewFile file;
    for (int attempt = 0;; ++attempt) {
        const std::error_code ec = file.Create(TempName(folder_));
        if (!ec) break;
        if (ec != std::errc::file_exists || attempt + 1 >= kMaxTempNameAttempts) Fail(target + ": " + ec.message());
    }

    std::istream* in = nullptr;
    try {
        in = &attachment.OpenLoadStream();
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    std::vector<char> block(kAttachmentCopyBlock);
    std::error_code ec;
    while (*in && !ec) {
        in->read(block.data(), static_cast<std::streamsize>(block.size()));
        const auto got = static_cast<std::size_t>(in->gcount());
        if (got == 0) break;
        ec = file.Write(std::string_view(block.data(), got));
        Haltepunkt(haltepunkt::kAnhangTeil);
    }
    const bool readFailed = in->bad();
    attachment.CloseLoadStream();
    if (ec) Fail(target + ": " + ec.message());
    if (readFailed) Fail("Der empfangene Inhalt kann nicht gelesen werden.");
    const std::filesystem::path temp = file.Path();
    if ((ec = file.Close())) Fail(target + ": " + ec.message());

    std::size_t& variant = nextVariant_[mailtext::ToLowerAscii(name)];
    if (variant == 0) variant = 1;
    for (std::size_t attempt = 0;; ++attempt, ++variant) {
        const std::string used = AnhangNamensVariante(name, variant);
        ec = Publish(temp, folder_ / PathFromUtf8(used));
        if (!ec) {
            ++variant;
            return used;
        }
        if (ec != std::errc::file_exists || attempt + 1 >= kMaxAnhangNamenVersuche) {
            std::error_code ignored;
            std::filesystem::remove(temp, ignored);
            if (ec != std::errc::file_exists) Fail(PathToUtf8(folder_ / PathFromUtf8(used)) + ": " + ec.message());
            Fail("Kein freier Name für " + name + " in " + PathToUtf8(folder_));
        }
    }
}

std::size_t TAttachmentFolder::RemoveLeftovers() const {
    std::size_t removed = 0;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder_, ec);
    if (ec) return 0;
    std::vector<std::filesystem::path> leftovers;
    for (const std::filesystem::directory_entry& entry : it) {
        if (IsTempName(PathToUtf8(entry.path().filename()))) leftovers.push_back(entry.path());
    }
    for (const std::filesystem::path& path : leftovers) {
        if (std::filesystem::remove(path, ec)) ++removed;
    }
    return removed;
}

bool SameContent(TMailAttachment& attachment, const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(std::filesystem::symlink_status(file, ec))) return false;
    std::ifstream stored(file, std::ios::binary);
    if (!stored) return false;
    std::istream* in = nullptr;
    try {
        in = &attachment.OpenLoadStream();
    } catch (const std::exception&) {
        return false;
    }
    std::vector<char> expected(kAttachmentCopyBlock);
    std::vector<char> found(kAttachmentCopyBlock);
    bool same = true;
    while (same) {
        in->read(expected.data(), static_cast<std::streamsize>(expected.size()));
        const auto want = static_cast<std::size_t>(in->gcount());
        stored.read(found.data(), static_cast<std::streamsize>(want == 0 ? 1 : want));
        const auto got = static_cast<std::size_t>(stored.gcount());
        if (want == 0) {
            same = got == 0 && !in->bad() && !stored.bad();
            break;
        }
        same = got == want && std::equal(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(want),
                                         found.begin());
    }
    attachment.CloseLoadStream();
    return same;
}

}  // namespace kdv
