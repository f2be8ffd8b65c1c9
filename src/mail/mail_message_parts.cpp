#include "mail/mail_message_parts.h"

#include <system_error>

#include "mail/mail_header_params.h"
#include "mail/mail_text_util.h"
#include "mail/media_types.h"
#include "mail/mime_header_words.h"
#include "platform/dira_error.h"
#include "platform/unique_temp_file.h"

namespace kdv {
namespace {

// Buffer of the stream that fills a temporary file: decoders hand over
// small pieces, the disk should see large writes.
constexpr std::size_t kTempWriteBuffer = 256 * 1024;

}  // namespace

// --- TMailMessagePart ---------------------------------------------------

TMailMessagePart::~TMailMessagePart() = default;

void TMailMessagePart::SetContentType(std::string_view value) {
    if (auto charset = FindHeaderParam(value, "charset")) CharSet = std::move(*charset);
    if (auto name = FindHeaderParam(value, "name")) Name = std::move(*name);
    Headers.SetValue("Content-Type", RemoveHeaderParam(RemoveHeaderParam(value, "charset"), "name"));
}

void TMailMessagePart::SetContentDisposition(std::string_view value) {
    if (auto fileName = FindHeaderParam(value, "filename")) FileName = DecodeHeaderWords(*fileName);
    Headers.SetValue("Content-Disposition", RemoveHeaderParam(value, "filename"));
}

// --- TMailText -----------------------------------------------------------

TMailText::TMailText(TMailPartKey key, TMailMessageParts& owner, TMailLines body)
    : TMailMessagePart(key, owner), Body(std::move(body)) {}

// --- TMailAttachment -------------------------------------------------------

namespace {

// Copies until the input ends or either stream fails; the caller checks both.
void CopyBlocks(std::istream& in, std::ostream& out) {
    std::vector<char> block(kAttachmentCopyBlock);
    while (in && out) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        out.write(block.data(), got);
    }
}

}  // namespace

void TMailAttachment::SaveToFile(const std::filesystem::path& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht angelegt werden: " + PathToUtf8(path));
    SaveToStream(out);
    out.close();
    if (!out) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht geschrieben werden: " + PathToUtf8(path));
}

void TMailAttachment::SaveToStream(std::ostream& out) {
    std::istream& in = OpenLoadStream();
    CopyBlocks(in, out);
    const bool failed = in.bad() || !out;
    CloseLoadStream();
    if (failed) throw EDiraError(TErrorKind::ekLocal, "Anlage konnte nicht kopiert werden.");
}

void TMailAttachment::LoadFromFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht geöffnet werden: " + PathToUtf8(path));
    LoadFromStream(in);
}

void TMailAttachment::LoadFromStream(std::istream& in) {
    std::ostream& out = PrepareTempStream();
    CopyBlocks(in, out);
    const bool readFailed = in.bad();
    FinishTempStream();
    if (readFailed) throw EDiraError(TErrorKind::ekLocal, "Anlage konnte nicht gelesen werden.");
}

// --- TMailAttachmentFile -----------------------------------------------------

TMailAttachmentFile::TMailAttachmentFile(TMailPartKey key, TMailMessageParts& owner,
                                         const std::filesystem::path& path)
    : TMailAttachment(key, owner), storedPath_(path) {
    FileName = PathToUtf8(path.filename());
    if (!FileName.empty()) SetContentType(MediaTypeOfFileName(FileName));
}

TMailAttachmentFile::TMailAttachmentFile(TMailPartKey key, TMailMessageParts& owner)
    : TMailAttachment(key, owner) {}

TMailAttachmentFile::~TMailAttachmentFile() { DeleteTempFile(); }

void TMailAttachmentFile::DeleteTempFile() noexcept {
    if (load_.is_open()) load_.close();
    if (temp_.is_open()) temp_.close();
    if (fileIsTempFile_ && !storedPath_.empty()) {
        std::error_code ignored;
        std::filesystem::remove(storedPath_, ignored);
    }
    fileIsTempFile_ = false;
}

std::istream& TMailAttachmentFile::OpenLoadStream() {
    if (load_.is_open()) load_.close();
    load_.clear();
    if (storedPath_.empty()) throw EDiraError(TErrorKind::ekUsage, "Anlage hat keinen Inhalt.");
    load_.open(storedPath_, std::ios::binary);
    if (!load_) throw EDiraError(TErrorKind::ekLocal, "Datei konnte nicht geöffnet werden: " + PathToUtf8(storedPath_));
    return load_;
}

void TMailAttachmentFile::CloseLoadStream() {
    if (load_.is_open()) load_.close();
}

std::ostream& TMailAttachmentFile::PrepareTempStream() {
    // Content replaced: a file made earlier for this part is not needed any
    // more; a file attached from disk is left alone.
    DeleteTempFile();
    std::error_code error;
    std::filesystem::path dir = Collection().AttachmentTempDirectory;
    if (dir.empty()) dir = std::filesystem::temp_directory_path(error);
    if (error) throw EDiraError(TErrorKind::ekLocal, "Temporärer Ordner nicht verfügbar: " + error.message());
    storedPath_ = CreateUniqueTempFile(dir, ".tmp");
    fileIsTempFile_ = true;
    AttachmentBlocked = false;
    if (!tempBuffer_) tempBuffer_ = std::make_unique_for_overwrite<char[]>(kTempWriteBuffer);
    temp_.clear();
    temp_.rdbuf()->pubsetbuf(tempBuffer_.get(), static_cast<std::streamsize>(kTempWriteBuffer));
    // The file was just created empty: opening it for truncation would only
    // make some file systems flush it at close, which is slow per attachment.
    temp_.open(storedPath_, std::ios::binary | std::ios::in | std::ios::out);
    if (!temp_) throw EDiraError(TErrorKind::ekLocal, "Temporäre Datei konnte nicht geöffnet werden: " + PathToUtf8(storedPath_));
    return temp_;
}

void TMailAttachmentFile::FinishTempStream() {
    if (!temp_.is_open()) return;
    temp_.close();
    const bool failed = temp_.fail();
    temp_.clear();
    std::error_code error;
    if (!std::filesystem::exists(storedPath_, error)) {
        AttachmentBlocked = true;
        return;
    }
    if (failed) throw EDiraError(TErrorKind::ekLocal, "Temporäre Datei konnte nicht geschrieben werden: " + PathToUtf8(storedPath_));
}

void TMailAttachmentFile::SaveToFile(const std::filesystem::path& path) {
    if (temp_.is_open()) temp_.flush();
    std::error_code error;
    if (storedPath_.empty()) throw EDiraError(TErrorKind::ekUsage, "Anlage hat keinen Inhalt.");
    if (std::filesystem::exists(path, error) && std::filesystem::equivalent(storedPath_, path, error)) return;
    std::filesystem::copy_file(storedPath_, path, std::filesystem::copy_options::overwrite_existing, error);
    if (error == std::errc::file_exists) {
        // The Windows build's C++ library does not overwrite and reports the
        // target as existing instead; the old file goes first there.
        std::filesystem::remove(path, error);
        if (!error) std::filesystem::copy_file(storedPath_, path, error);
    }
    if (error) {
        throw EDiraError(TErrorKind::ekLocal, "Datei " + PathToUtf8(storedPath_) + " konnte nicht nach " + PathToUtf8(path) +
                         " kopiert werden: " + error.message());
    }
}

// --- TMailMessageParts -------------------------------------------------------

TMailMessageParts::TMailMessageParts() = default;

TMailMessageParts::~TMailMessageParts() = default;

int TMailMessageParts::IndexOf(const TMailMessagePart& part) const {
    for (std::size_t i = 0; i < parts_.size(); ++i) {
        if (parts_[i].get() == &part) return static_cast<int>(i);
    }
    return -1;
}

void TMailMessageParts::Delete(std::size_t index) {
    if (index < parts_.size()) parts_.erase(parts_.begin() + static_cast<std::ptrdiff_t>(index));
}

void TMailMessageParts::Clear() {
    parts_.clear();
    AttachmentCount = 0;
    TextPartCount = 0;
    RelatedPartCount = 0;
}

void TMailMessageParts::CountParts() {
    AttachmentCount = 0;
    TextPartCount = 0;
    RelatedPartCount = 0;
    for (const auto& part : parts_) {
        if (part->PartType() == TMailPartType::mptAttachment) ++AttachmentCount;
        else ++TextPartCount;
        if (!part->ContentID().empty()) ++RelatedPartCount;
    }
}

}  // namespace kdv
