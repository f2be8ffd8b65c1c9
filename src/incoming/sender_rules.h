#pragma once
// Which senders the whitelist admits. The list is parsed once into rules,
// so a sender is compared with whole entries, never searched for inside the
// list's text (where "l@example.org" would be found in "el@example.org").
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

// What one whitelist entry says.
enum class TSenderEntryKind {
    // Empty after trimming: says nothing.
    Empty,
    // Holds a "*": every sender is admitted.
    Everyone,
    // One address ("a@example.org" or "Name <a@example.org>").
    Address,
    // One whole domain ("@example.org").
    Domain,
    // None of these forms: admits nobody.
    Unrecognised,
};

struct TSenderEntry {
    TSenderEntryKind Kind = TSenderEntryKind::Empty;
    // Address or "@domain" in lower case; the trimmed entry when unrecognised.
    std::string Value;
};

// Reads one entry: trimmed of blanks and tabs; a "*" anywhere admits
// everyone; "Name <address>" counts as the address in the angle brackets;
// "@domain" admits that domain (not its subdomains); an address is a local
// part, one "@" and a domain, without blanks or angle brackets.
TSenderEntry ParseSenderEntry(std::string_view entry);

class TSenderRules {
public:
    // No entry: nobody is admitted.
    TSenderRules() = default;
    explicit TSenderRules(const std::vector<std::string>& entries);

    // True when every sender is admitted, or `address` equals an address
    // entry, or its domain equals a domain entry; compared without regard to
    // ASCII case, the address trimmed of blanks. An empty address is
    // admitted only by a "*".
    bool Admits(std::string_view address) const;

    // The entries of none of the forms, trimmed, in list order.
    const std::vector<std::string>& Unrecognised() const { return unrecognised_; }

private:
    bool everyone_ = false;
    std::vector<std::string> addresses_;
    std::vector<std::string> domains_;
    std::vector<std::string> unrecognised_;
};

}  // namespace kdv
