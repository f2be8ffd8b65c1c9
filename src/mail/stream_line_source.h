#pragma once
// The line source over a byte stream that carries a dot-terminated transfer
// as a mail server sends it (POP3 RETR): lines stuffed with a leading extra
// dot, ended by a line ".". The stream is pulled in blocks through a small
// input interface, so a socket, a file or a test feeding one byte at a time
// can stand behind it.
#include "mail/mail_limits.h"
#include "mail/mail_line_source.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace kdv {

class TByteInput {
public:
    virtual ~TByteInput() = default;
    // Reads up to `size` bytes into `buffer` and returns how many; 0 means the
    // stream has ended. A connection raises its own failure (time-out, lost
    // connection) as EDiraError instead of returning 0.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
};

class TMailStreamLineSource final : public TMailLineSource {
public:
    // A line of a mail's header or body may be as long as the text a mail may
    // hold; only that keeps a peer that never sends a line break from growing
    // the buffer for ever. (Protocol replies have their own, far smaller cap.)
    static constexpr std::size_t kMaxDataLineLength = kMaxMessageTextBytes;
    // Bytes asked from the input at once; the size of a socket's receive buffer.
    static constexpr std::size_t kReadBlock = 32768;

    // `max_line_length` 0 means unlimited. A longer line fails with
    // "Max. Zeilenlänge überschritten.".
    explicit TMailStreamLineSource(TByteInput& input, std::size_t max_line_length = kMaxDataLineLength);
    ~TMailStreamLineSource() override;

    // A stream that ends before the "." line raises "Die Verbindung endete
    // vor dem Ende der Nachricht.": what came so far is not the whole mail.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override;
    std::string_view LineBreak() const override { return break_; }
    const TTextEncoding& DefStringEncoding() const override;

private:
    bool Fill();
    void CheckLength(std::size_t length) const;

    TByteInput& input_;
    std::size_t max_line_length_;
    std::unique_ptr<char[]> block_;
    std::string buffer_;
    std::size_t start_ = 0;      // first unread byte in buffer_
    bool input_ended_ = false;
    bool ended_ = false;
    std::string_view break_;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
