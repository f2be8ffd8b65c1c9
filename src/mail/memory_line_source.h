#pragma once
// The line source over a complete mail held in memory (the IMAP road: the
// fetched literal). The bytes are read in place, never copied.
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

    // Every line comes back exactly as it stands in the data, a line "." and
    // lines starting with ".." included. In either terminator mode the end of
    // the data ends the last line, whatever line break (LF, CR LF or CR) it
    // had or lacked.
    bool ReadLnRFC(std::string_view& line, TLineTerminator terminator) override;
    const TTextEncoding& DefStringEncoding() const override;

private:
    std::string_view data_;
    std::size_t pos_ = 0;
    bool ended_ = false;
    std::shared_ptr<const TTextEncoding> encoding_;
};

}  // namespace kdv
