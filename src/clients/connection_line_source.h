#pragma once
// The line source over the mail data of a dot-terminated transfer (POP3
// RETR) read straight from the connection's buffered input, as raw bytes. A
// connection that ends before the "." line raises, so a mail cut off in
// transfer is never taken as complete. Nothing after the "." line is taken
// from the connection: the protocol's next reply stays for the client.
#include <cstddef>
#include <memory>
#include <string_view>

#include "mail/mail_line_source.h"
#include "net/mail_line_io.h"

namespace kdv {

// The connection's bytes for the line reader, handed out no further than
// through the next LF.
class TConnectionLineInput final : public ILineInput {
public:
    explicit TConnectionLineInput(TMailLineIO& io) : io_(io) {}
    // Never returns 0: a connection that ends raises (kind ekPeerClosed).
    std::size_t Read(char* buffer, std::size_t size) override { return io_.ReadRawThroughLF(buffer, size); }

private:
    TMailLineIO& io_;
};

class TMailConnectionLineSource final : public TMailLineSource {
public:
    // Longest line of mail data; far above any line a mailer writes, it only
    // keeps a peer that never sends a line break from filling the memory.
    static constexpr std::size_t kMaxDataLineLength = TLineReader::kMaxLineLength;

    explicit TMailConnectionLineSource(TMailLineIO& io, std::size_t max_line_length = kMaxDataLineLength);
    ~TMailConnectionLineSource() override;

    // The mail inside the transfer is split into lines as its text in
    // memory or in a file would be. After the "." line nothing more is read
    // from the connection.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override {
        return reader_.ReadLine(line, terminator);
    }
    std::string_view LineBreak() const override { return reader_.LineBreak(); }
    const TTextEncoding& DefStringEncoding() const override;

private:
    TConnectionLineInput input_;
    TLineReader reader_;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
