#pragma once
// The line source over a byte stream that carries a dot-terminated transfer
// as a mail server sends it (POP3 RETR): lines stuffed with a leading extra
// dot, ended by a line ".". The stream is pulled in blocks through a small
// input interface, so a socket, a file or a test feeding one byte at a time
// can stand behind it. The mail inside the transfer is split into lines as
// its text in memory or in a file would be.
#include "mail/mail_limits.h"
#include "mail/mail_line_source.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace kdv {

class TMailStreamLineSource final : public TMailLineSource {
public:
    // A line of a mail's header or body may be as long as the text a mail may
    // hold; only that keeps a peer that never sends a line break from growing
    // the buffer for ever. (Protocol replies have their own, far smaller cap.)
    static constexpr std::size_t kMaxDataLineLength = kMaxMessageTextBytes;

    // `max_line_length` 0 means unlimited. A longer line fails with
    // "Max. Zeilenlänge überschritten.".
    explicit TMailStreamLineSource(ILineInput& input, std::size_t max_line_length = kMaxDataLineLength);
    ~TMailStreamLineSource() override;

    // A stream that ends before the "." line raises "Die Verbindung endete
    // vor dem Ende der Nachricht.": what came so far is not the whole mail.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override {
        return reader_.ReadLine(line, terminator);
    }
    std::string_view LineBreak() const override { return reader_.LineBreak(); }
    const TTextEncoding& DefStringEncoding() const override;

private:
    TLineReader reader_;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
