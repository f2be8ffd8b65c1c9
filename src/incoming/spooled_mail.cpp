#include "incoming/spooled_mail.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "mail/charset.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"
#include "net/mail_line_io.h"
#include "platform/dira_error.h"
#include "platform/sha256.h"
#include "platform/unique_temp_file.h"

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
                         "Zwischenspeicher " + Path().string() + " kann nicht gelesen werden: " + error.message());
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
                     "Zwischenspeicher " + Path().string() + " kann nicht geschrieben werden: " + error.message());
}

std::string TSpoolFile::Hash() const {
    return Sha256OfFile(Path()).value_or(std::string());
}

TMailFileLineSource::TMailFileLineSource(const std::filesystem::path& file, const TSpoolFile* arriving)
    : in_(file, std::ios::binary), arriving_(arriving), encoding_(UndeclaredTextEncoding()) {
    if (!in_) throw EDiraError(TErrorKind::ekLocal, "Zwischenspeicher " + file.string() + " kann nicht gelesen werden");
}

TMailFileLineSource::~TMailFileLineSource() = default;

const TTextEncoding& TMailFileLineSource::DefStringEncoding() const { return *encoding_; }

bool TMailFileLineSource::Fill() {
    if (eof_) return false;
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    const std::size_t old = buffer_.size();
    std::size_t want = 64 * 1024;
    std::size_t got = 0;
    if (arriving_ != nullptr) {
        // Only what the spool has written, read at its place: past it the
        // file may still hold the end of an earlier, longer mail, which a
        // stream's read-ahead would take in.
        const std::uint64_t in_file = arriving_->AwaitMore(read_);
        want = static_cast<std::size_t>(std::min<std::uint64_t>(want, in_file - read_));
        buffer_.resize(old + want);
        got = want == 0 ? 0 : arriving_->ReadAt(read_, buffer_.data() + old, want);
    } else {
        buffer_.resize(old + want);
        in_.read(buffer_.data() + old, static_cast<std::streamsize>(want));
        got = static_cast<std::size_t>(in_.gcount());
    }
    buffer_.resize(old + got);
    read_ += got;
    if (got == 0) eof_ = true;
    return got > 0;
}

bool TMailFileLineSource::ReadLnRFC(std::string_view& line, TLineTerminator terminator) {
    line = {};
    line_break_ = {};
    if (ended_) return false;
    // The mail's first break tells whether a bare LF ends its lines; until
    // it is seen, no line can end anyway.
    while (!form_known_) {
        bare_lf_breaks_ = FirstBreakIsBare(std::string_view(buffer_).substr(start_), eof_, form_known_);
        if (form_known_) break;
        if (buffer_.size() - start_ > kMaxLineLength) throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLong);
        Fill();
    }
    std::size_t searched = start_;
    for (;;) {
        const TLineBreakAt found = FindLineBreak(buffer_, searched, terminator, bare_lf_breaks_, eof_);
        if (found.Length > 0) {
            line = std::string_view(buffer_.data() + start_, found.At - start_);
            line_break_ = found.Length == 2 ? "\r\n" : buffer_[found.At] == '\r' ? "\r" : "\n";
            start_ = found.At + found.Length;
            return true;
        }
        if (eof_) break;
        searched = found.At;
        if (buffer_.size() - start_ > kMaxLineLength) throw EDiraError(TErrorKind::ekLineTooLong, kLineTooLong);
        const std::size_t before = start_;
        Fill();
        searched -= before;
    }
    if (start_ >= buffer_.size()) {
        ended_ = true;
        return false;
    }
    // No break left: the rest is the last line, without an LF that ended it
    // where a bare LF is no break.
    std::string_view rest(buffer_.data() + start_, buffer_.size() - start_);
    if (rest.back() == '\n') {
        rest.remove_suffix(1);
        line_break_ = "\n";
    }
    line = rest;
    start_ = buffer_.size();
    return true;
}

void ReadSpooledMail(TMailMessage& message, const std::filesystem::path& file, const TSpoolFile* arriving) {
    TMailFileLineSource source(file, arriving);
    TMailMessageReader reader(source);
    reader.ProcessMessage(message);
    message.RawFile = file;
}

}  // namespace kdv
