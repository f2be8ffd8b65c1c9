#pragma once
// A received mail on its way from the connection to the reader: its raw text
// is written to a file in the service's temporary folder as it arrives and
// read from there, so a large mail is never held whole in memory and a kept
// copy needs no second download. The folder belongs to the process, so an
// import beside the service never meets its spool, and a spool left by a
// process that died is removed at the next start.
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "mail/byte_sink.h"
#include "mail/mail_line_source.h"
#include "platform/line_reader.h"
#include "platform/unique_temp_file.h"

namespace kdv {

class TMailMessage;

// The spool of a pass: one file, created new and private, holding one mail
// at a time, removed with the object.
class TSpoolFile final : public TByteSink {
public:
    // Creates the file in `folder` (made when missing).
    explicit TSpoolFile(const std::filesystem::path& folder);
    ~TSpoolFile() override;
    TSpoolFile(const TSpoolFile&) = delete;
    TSpoolFile& operator=(const TSpoolFile&) = delete;

    // Raises EDiraError (kind ekLocal) when the disk refuses.
    void Write(std::string_view bytes) override;
    // Writes out what is buffered; the file then holds exactly the mail and
    // is ready to be read. Raises like Write.
    void Finish();
    // Starts the next mail, empty (the path stays the same). No reader may
    // be waiting for the last one.
    void Restart();
    // The transfer ended before the mail was whole: a reader waiting for
    // more gets an error instead.
    void Abort();

    // For a reader of the file while the mail arrives: waits until more
    // than `have` bytes are in the file, or the mail is whole, and returns
    // the bytes in the file. Raises EDiraError (kind ekPeerClosed) after
    // Abort.
    std::uint64_t AwaitMore(std::uint64_t have) const;
    // Reads up to `size` bytes of the mail at `offset`; only what AwaitMore
    // reported is the mail's (past it the file may hold an earlier mail).
    // Raises EDiraError (kind ekLocal) when the disk refuses.
    std::size_t ReadAt(std::uint64_t offset, char* buffer, std::size_t size) const;

    const std::filesystem::path& Path() const { return file_.Path(); }
    std::uint64_t Size() const { return size_; }
    // SHA-256 of the text written, as hexadecimal digits.
    std::string Hash() const;

private:
    enum class TState { Arriving, Whole, Broken };

    void Flush();
    void WriteThrough(std::string_view bytes);
    void Publish(TState state);
    [[noreturn]] void RaiseWriteError(const std::error_code& error) const;

    TReusedTempFile file_;
    std::string buffer_;
    std::uint64_t size_ = 0;
    std::uint64_t written_ = 0;  // of size_, in the file
    // What a reader on another thread may see.
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::uint64_t in_file_ = 0;
    TState state_ = TState::Arriving;
};

// Reads a mail on a thread of its own while it is spooled: the reader works
// while the connection waits for the server, so a large mail costs the time
// of its transfer rather than that and its reading after it. The spool must
// be finished or aborted before Wait; the destructor aborts a spool still
// arriving and waits for the thread.
class TSpoolReader {
public:
    TSpoolReader(TSpoolFile& spool, TMailMessage& message);
    ~TSpoolReader();
    TSpoolReader(const TSpoolReader&) = delete;
    TSpoolReader& operator=(const TSpoolReader&) = delete;

    // Waits for the reader; its failure, or nullptr when the message was read.
    std::exception_ptr Wait();

private:
    TSpoolFile& spool_;
    std::exception_ptr failure_;
    std::thread thread_;
};

// The mail text in a file as the reader's line source: every line exactly as
// it stands (no dot-stuffing), ended as in a mail held in memory
// (FindLineBreak), the end of the file ends the message.
class TMailFileLineSource final : public TMailLineSource {
public:
    static constexpr std::size_t kMaxLineLength = TLineReader::kMaxLineLength;

    // With `arriving`, the file is read while that spool writes it.
    explicit TMailFileLineSource(const std::filesystem::path& file, const TSpoolFile* arriving = nullptr,
                                 std::size_t max_line_length = kMaxLineLength);
    ~TMailFileLineSource() override;

    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override {
        return reader_.ReadLine(line, terminator);
    }
    std::string_view LineBreak() const override { return reader_.LineBreak(); }
    const TTextEncoding& DefStringEncoding() const override;

private:
    // The file's bytes for the line reader.
    class TFileInput final : public ILineInput {
    public:
        TFileInput(const std::filesystem::path& file, const TSpoolFile* arriving);
        std::size_t Read(char* buffer, std::size_t size) override;

    private:
        std::ifstream in_;
        const TSpoolFile* arriving_;
        std::uint64_t read_ = 0;
    };

    TFileInput input_;
    TLineReader reader_;
    std::shared_ptr<const TTextEncoding> encoding_;
};

// Reads the spooled mail into the message (cleared first) and sets its
// RawFile. Raises the reader's failures.
void ReadSpooledMail(TMailMessage& message, const std::filesystem::path& file,
                     const TSpoolFile* arriving = nullptr);

}  // namespace kdv
