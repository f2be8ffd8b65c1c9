#pragma once
// A live connection as the MIME reader's line source: the mail data of a
// dot-terminated transfer (POP3 RETR) read straight from the connection's
// buffered input, as raw bytes. A connection that ends before the "." line
// raises, so a mail cut off in transfer is never taken as complete.
#include <cstddef>
#include <memory>
#include <string_view>

#include "mail/mail_line_source.h"
#include "net/mail_line_io.h"

namespace kdv {

class TMailConnectionLineSource final : public TMailLineSource {
public:
    // Longest line of mail data; far above any line a mailer writes, it only
    // keeps a peer that never sends a line break from filling the memory.
    static constexpr std::size_t kMaxDataLineLength = 32u * 1024 * 1024;

    explicit TMailConnectionLineSource(TMailLineIO& io, std::size_t max_line_length = kMaxDataLineLength);
    ~TMailConnectionLineSource() override;

    // After the "." line nothing more is read from the connection.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override;
    const TTextEncoding& DefStringEncoding() const override;

private:
    TMailLineIO& io_;
    std::size_t max_line_length_;
    bool ended_ = false;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
