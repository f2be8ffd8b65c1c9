// Feeds arbitrary bytes to the address-list parser and the text forms, and
// checks what they promise: no empty or "<>" items, and a well-formed item
// reads back from its own text form unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "mail/mail_address.h"
#include "platform/ascii_text.h"

namespace {

void Require(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool IsAtomChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("`!#$%&'*+-/=?_{}|~").find(c) != std::string_view::npos;
}

// local@domain, both made of atoms separated by single dots.
bool IsDotAtomAddress(std::string_view address) {
    const std::size_t at = address.find('@');
    if (at == std::string_view::npos || address.find('@', at + 1) != std::string_view::npos) return false;
    for (const std::string_view part : {address.substr(0, at), address.substr(at + 1)}) {
        if (part.empty() || part.front() == '.' || part.back() == '.') return false;
        for (std::size_t i = 0; i < part.size(); ++i) {
            if (part[i] == '.' ? part[i + 1] == '.' : !IsAtomChar(part[i])) return false;
        }
    }
    return true;
}

// Runs of blanks count as one: a plain display name is written unquoted,
// and reading collapses the blanks between its words.
std::string CollapseBlanks(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    kdv::TMailEMailAddressList list;
    list.SetEMailAddresses(input);
    for (std::size_t i = 0; i < list.Count(); ++i) {
        const kdv::TMailEMailAddressItem& item = list[i];
        const std::string text = item.Text();
        Require(!text.empty() && text != "<>");
        // Quoting at most doubles a character, plus quotes, brackets and a blank.
        Require(text.size() <= 2 * (item.Name.size() + item.Address.size()) + 8);

        kdv::TMailEMailAddressItem back;
        back.SetText(text);
        if (IsDotAtomAddress(item.Address)) {
            Require(back.Address == item.Address);
            const bool nameWritten = !item.Name.empty() && !kdv::EqualsNoCase(item.Name, item.Address);
            if (nameWritten) Require(CollapseBlanks(back.Name) == CollapseBlanks(item.Name));
        }
    }
    kdv::TMailEMailAddressList again;
    again.SetEMailAddresses(list.EMailAddresses());

    kdv::TMailEMailAddressItem single;
    single.SetText(input);
    (void)single.Text();
    return 0;
}
