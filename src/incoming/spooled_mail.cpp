#include "incoming/spooled_mail.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "mail/charset.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "platform/dira_error.h"
#include "platform/sha256.h"
#include "platform/unique_temp_file.h"
#include "platform/path_text.h"

namespace kdv {

namespace {

// Lines of a POP3 mail arrive one by one; they reach the file in blocks.
constexpr std::size_t kSpoolBlock = 64 * 1024;

std::filesystem::path MadeFolder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    return folder;
}

}  // namespace

TSpoolFile::TSpoolFile(const std::filesystem::path& folder) : file_(MadeFolder(folder), ".eml") {
    buffer_.reserve(kSpoolBlock);
}

TSpoolFile::~TSpoolFile() = default;

void TSpoolFile::Restart() {
    buffer_.clear();
    file_.Rewind();
    size_ = 0;
    written_ = 0;
    const std::lock_guard<std::mutex> lock(mutex_);
    in_file_ = 0;
    state_ = TState::Arriving;
}

void TSpoolFile::Write(std::string_view bytes) {
    size_ += bytes.size();
    if (buffer_.size() + bytes.size() <= kSpoolBlock) {
        buffer_.append(bytes);
        return;
    }
    Flush();
    if (bytes.size() >= kSpoolBlock) {
        WriteThrough(bytes);
        return;
    }
    buffer_.append(bytes);
}

void TSpoolFile::WriteThrough(std::string_view bytes) {
    if (const std::error_code error = file_.Write(bytes)) RaiseWriteError(error);
    written_ += bytes.size();
    Publish(TState::Arriving);
}

void TSpoolFile::Flush() {
    if (buffer_.empty()) return;
    WriteThrough(buffer_);
    buffer_.clear();
}

void TSpoolFile::Finish() {
    Flush();
    if (const std::error_code error = file_.Finish()) RaiseWriteError(error);
    Publish(TState::Whole);
}

void TSpoolFile::Abort() {
    Publish(TState::Broken);
}

void TSpoolFile::Publish(TState state) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        in_file_ = written_;
        if (state_ == TState::Arriving) state_ = state;
    }
    changed_.notify_all();
}

std::uint64_t TSpoolFile::AwaitMore(std::uint64_t have) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return in_file_ > have || state_ != TState::Arriving; });
    if (state_ == TState::Broken) throw EDiraError(TErrorKind::ekPeerClosed, "Übertragung der Mail abgebrochen");
    return in_file_;
}

std::size_t TSpoolFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t size) const {
    std::size_t read = 0;
    if (const std::error_code error = file_.ReadAt(offset, buffer, size, read)) {
        throw EDiraError(TErrorKind::ekLocal,
                         "Zwischenspeicher " + PathToUtf8(Path()) + " kann nicht gelesen werden: " + error.message());
    }
    return read;
}

TSpoolReader::TSpoolReader(TSpoolFile& spool, TMailMessage& message) : spool_(spool) {
    thread_ = std::thread([this, &message] {
        try {
            ReadSpooledMail(message, spool_.Path(), &spool_);
        } catch (...) {
            failure_ = std::current_exception();
        }
    });
}

TSpoolReader::~TSpoolReader() {
    if (!thread_.joinable()) return;
    spool_.Abort();
    thread_.join();
}

std::exception_ptr TSpoolReader::Wait() {
    if (thread_.joinable()) thread_.join();
    return failure_;
}

void TSpoolFile::RaiseWriteError(const std::error_code& error) const {
    throw EDiraError(TErrorKind::ekLocal,
                     "Zwischenspeicher " + PathToUtf8(Path()) + " kann nicht geschrieben werden: " + error.message());
}

std::string TSpoolFile::Hash() const {
    return Sha256OfFile(Path()).value_or(std::string());
}

TMailFileLineSource::TFileInput::TFileInput(const std::filesystem::path& file, const TSpoolFile* arriving)
    : in_(file, std::ios::binary), arriving_(arriving) {
    if (!in_) throw EDiraError(TErrorKind::ekLocal, "Zwischenspeicher " + PathToUtf8(file) + " kann nicht gelesen werden");
}

std::size_t TMailFileLineSource::TFileInput::Read(char* buffer, std::size_t size) {
    std::size_t got = 0;
    if (arriving_ != nullptr) {
        // Only what the spool has written, read at its place: past it the
        // file may still hold the end of an earlier, longer mail, which a
        // stream's read-ahead would take in.
        const std::uint64_t in_file = arriving_->AwaitMore(read_);
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size, in_file - read_));
        got = want == 0 ? 0 : arriving_->ReadAt(read_, buffer, want);
    } else {
        in_.read(buffer, static_cast<std::streamsize>(size));
        got = static_cast<std::size_t>(in_.gcount());
    }
    read_ += got;
    return got;
}

TMailFileLineSource::TMailFileLineSource(const std::filesystem::path& file, const TSpoolFile* arriving,
                                         std::size_t max_line_length)
    : input_(file, arriving), reader_(input_, {.MaxLineLength = max_line_length}), encoding_(UndeclaredTextEncoding()) {}

TMailFileLineSource::~TMailFileLineSource() = default;

const TTextEncoding& TMailFileLineSource::DefStringEncoding() const { return *encoding_; }

void ReadSpooledMail(TMailMessage& message, const std::filesystem::path& file, const TSpoolFile* arriving) {
    TMailFileLineSource source(file, arriving);
    TMailMessageReader reader(source);
    reader.ProcessMessage(message);
    message.RawFile = file;
}

}  // namespace kdv
