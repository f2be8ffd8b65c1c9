#include "incoming/attachment_store.h"

#include <string_view>
#include <system_error>
#include <vector>

#include "mail/mail_text_util.h"
#include "platform/dira_error.h"
#include "platform/new_file.h"

namespace kdv {
namespace {

[[noreturn]] void Fail(const std::string& reason) { throw EDiraError(std::string(kAnlageNichtGespeichert) + " " + reason); }

}  // namespace

std::string AnhangNamensVariante(const std::string& name, std::size_t variant) {
    if (variant <= 1) return name;
    const std::size_t dot = name.rfind('.');
    const std::size_t cut = dot == std::string::npos || dot == 0 ? name.size() : dot;
    return name.substr(0, cut) + "_" + std::to_string(variant) + name.substr(cut);
}

std::string TAttachmentFolder::Store(TMailAttachment& attachment, const std::string& name) {
    std::size_t& variant = nextVariant_[mailtext::ToLowerAscii(name)];
    if (variant == 0) variant = 1;
    TNewFile file;
    std::string used;
    for (std::size_t attempt = 0;; ++attempt, ++variant) {
        used = AnhangNamensVariante(name, variant);
        const std::error_code ec = file.Create(folder_ / PathFromUtf8(used));
        if (!ec) break;
        if (ec != std::errc::file_exists) Fail(PathToUtf8(folder_ / PathFromUtf8(used)) + ": " + ec.message());
        if (attempt + 1 >= kMaxAnhangNamenVersuche) Fail("Kein freier Name für " + name + " in " + PathToUtf8(folder_));
    }
    ++variant;

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
    }
    const bool readFailed = in->bad();
    attachment.CloseLoadStream();
    if (ec) Fail(PathToUtf8(file.Path()) + ": " + ec.message());
    if (readFailed) Fail("Der empfangene Inhalt kann nicht gelesen werden.");
    if ((ec = file.Close())) Fail(PathToUtf8(folder_ / PathFromUtf8(used)) + ": " + ec.message());
    return used;
}

}  // namespace kdv
