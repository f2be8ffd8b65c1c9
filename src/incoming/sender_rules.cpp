#include "incoming/sender_rules.h"

#include <algorithm>

#include "mail/mail_text_util.h"
#include "platform/ascii_text.h"

namespace kdv {
namespace {

bool HasSpaceOrBracket(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        return c == ' ' || c == '\t' || c == '<' || c == '>' || static_cast<unsigned char>(c) < 0x20;
    });
}

bool IsDomain(std::string_view domain) {
    return !domain.empty() && domain.find('@') == std::string_view::npos && !HasSpaceOrBracket(domain);
}

bool IsAddress(std::string_view address) {
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos || at == 0) return false;
    return !HasSpaceOrBracket(address.substr(0, at)) && IsDomain(address.substr(at + 1));
}

}  // namespace

TSenderEntry ParseSenderEntry(std::string_view entry) {
    const std::string_view trimmed = mailtext::TrimBlanks(entry);
    if (trimmed.empty()) return {};
    if (trimmed.find('*') != std::string_view::npos) return {TSenderEntryKind::Everyone, std::string(trimmed)};
    std::string_view candidate = trimmed;
    // "Name <address>": only the address counts.
    if (candidate.back() == '>') {
        const std::size_t open = candidate.rfind('<');
        if (open != std::string_view::npos) candidate = mailtext::TrimBlanks(candidate.substr(open + 1, candidate.size() - open - 2));
    }
    if (candidate.size() > 1 && candidate.front() == '@' && IsDomain(candidate.substr(1))) {
        if (candidate.data() == trimmed.data()) return {TSenderEntryKind::Domain, ToLowerAscii(candidate)};
    }
    if (IsAddress(candidate)) return {TSenderEntryKind::Address, ToLowerAscii(candidate)};
    return {TSenderEntryKind::Unrecognised, std::string(trimmed)};
}

TSenderRules::TSenderRules(const std::vector<std::string>& entries) {
    for (const std::string& text : entries) {
        TSenderEntry entry = ParseSenderEntry(text);
        switch (entry.Kind) {
        case TSenderEntryKind::Empty:
            break;
        case TSenderEntryKind::Everyone:
            everyone_ = true;
            break;
        case TSenderEntryKind::Address:
            addresses_.push_back(std::move(entry.Value));
            break;
        case TSenderEntryKind::Domain:
            domains_.push_back(std::move(entry.Value));
            break;
        case TSenderEntryKind::Unrecognised:
            unrecognised_.push_back(std::move(entry.Value));
            break;
        }
    }
}

bool TSenderRules::Admits(std::string_view address) const {
    if (everyone_) return true;
    address = mailtext::TrimBlanks(address);
    if (!IsAddress(address)) return false;
    const auto same = [address](const std::string& entry) { return EqualsNoCase(address, entry); };
    if (std::any_of(addresses_.begin(), addresses_.end(), same)) return true;
    const std::string_view domain = address.substr(address.rfind('@'));
    return std::any_of(domains_.begin(), domains_.end(),
                       [domain](const std::string& entry) { return EqualsNoCase(domain, entry); });
}

}  // namespace kdv
