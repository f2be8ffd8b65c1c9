#pragma once
// The line source over a complete mail held in memory (the IMAP road: the
// fetched literal; a mail file given to the import). The bytes are read in
// place, never copied.
#include "mail/mail_line_source.h"

#include <memory>
#include <string_view>

namespace kdv {

class TMailMemoryLineSource final : public TMailLineSource {
public:
    // `data` must outlive the source. It is the mail text itself, not
    // dot-stuffed; its end is the end of the message.
    explicit TMailMemoryLineSource(std::string_view data);
    ~TMailMemoryLineSource() override;

    // Mail saved to disk often breaks its lines with LF alone, some old
    // programs with CR alone; lines end as FindLineBreak says, so every form
    // gives the same parts. The end of the data ends the last line, whatever
    // break it had or lacked.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override;
    std::string_view LineBreak() const override { return break_; }
    const TTextEncoding& DefStringEncoding() const override;

private:
    std::string_view data_;
    bool bare_lf_breaks_ = false;
    std::size_t pos_ = 0;
    bool ended_ = false;
    std::string_view break_;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
