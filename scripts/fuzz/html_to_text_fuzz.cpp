// Feeds arbitrary bytes to the text clean-up of incoming mail and checks what
// each function promises about its result.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "incoming/text_cleanup.h"
#include "mail/mail_text_util.h"
#include "platform/utf8_text.h"
#include "platform/ascii_text.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Line ends only as CR LF, no other control character, at most one empty
// line in a row, none at either end, no blank or tab before a line end.
void RequireTidyLines(std::string_view text) {
    Require(kdv::IsValidUtf8(text));
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r') {
            Require(i + 1 < text.size() && text[i + 1] == '\n');
            Require(i > 0 && text[i - 1] != ' ' && text[i - 1] != '\t');
        } else if (c == '\n') {
            Require(i > 0 && text[i - 1] == '\r');
        } else {
            Require(c >= 0x20 || c == '\t');
            Require(c != 0x7F);
        }
    }
    Require(text.find("\r\n\r\n\r\n") == std::string_view::npos);
    Require(text.substr(0, 2) != "\r\n");
    Require(text.size() < 2 || text.substr(text.size() - 2) != "\r\n");
    Require(text.empty() || (text.back() != ' ' && text.back() != '\t'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    const std::string text = kdv::HtmlToText(input);
    RequireTidyLines(text);
    // Markers, quote marks and replacement characters add a little, never
    // more than a few times what they stand for.
    Require(text.size() <= 8 * input.size());

    // The pieces the HTML arrives in do not change the text.
    if (!input.empty()) {
        const std::size_t piece = 1 + static_cast<unsigned char>(input[0]) % 16;
        kdv::THtmlTextConverter converter;
        for (std::size_t pos = 0; pos < input.size(); pos += piece) converter.Feed(input.substr(pos, piece));
        Require(converter.Finish() == text);
    }

    const std::string subject = kdv::CleanBetreff(input);
    Require(subject.size() <= input.size());
    Require(subject.empty() || (subject.front() != ' ' && subject.back() != ' '));
    for (const char c : subject) Require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    for (const std::string_view marker : {"aw:", "wg:", "re:", "fw:", "fwd:"}) {
        Require(!kdv::StartsWithNoCase(subject, marker));
    }

    const std::string fileName = kdv::CleanDateiname(input);
    Require(fileName.find_first_of("#!:&?") == std::string::npos);
    return 0;
}
