#pragma once
// E-mail addresses with display names, and ordered lists of them, with their
// text forms ("Hans Meier <hans@example.org>, b@example.org"). Parsing never
// fails: text that fits no rule ends up in Name or Address.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

class TMailEMailAddressItem {
public:
    TMailEMailAddressItem() = default;
    TMailEMailAddressItem(std::string address, std::string name)
        : Address(std::move(address)), Name(std::move(name)) {}

    // The bare address, without angle brackets.
    std::string Address;
    // The display name, unquoted and decoded.
    std::string Name;

    // Display name and address in angle brackets, quoted where needed; the
    // bare address when there is no name or the name equals the address.
    std::string Text() const;
    // Parses a single address with optional display name, quotes, comments
    // and angle brackets into Name and Address.
    void SetText(std::string_view text);

    // Part of Address before its last "@" (all of it when there is none).
    std::string User() const;
    // Part of Address after its last "@" (empty when there is none).
    std::string Domain() const;

    void Clear() {
        Address.clear();
        Name.clear();
    }
    bool operator==(const TMailEMailAddressItem&) const = default;
};

class TMailEMailAddressList {
public:
    TMailEMailAddressList() = default;
    TMailEMailAddressList(const TMailEMailAddressList& other) { AddItems(other); }
    TMailEMailAddressList& operator=(const TMailEMailAddressList& other);
    TMailEMailAddressList(TMailEMailAddressList&&) noexcept = default;
    TMailEMailAddressList& operator=(TMailEMailAddressList&&) noexcept = default;

    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    // Items keep their address while the list grows.
    TMailEMailAddressItem& operator[](std::size_t index) { return *items_.at(index); }
    const TMailEMailAddressItem& operator[](std::size_t index) const { return *items_.at(index); }
    // Appends an empty item and returns it.
    TMailEMailAddressItem& Add();
    // Appends copies of the other list's items.
    void AddItems(const TMailEMailAddressList& other);
    void Delete(std::size_t index);
    void Clear() { items_.clear(); }

    // The text forms of all items joined with ", ".
    std::string EMailAddresses() const;
    // Replaces the content by the addresses of a list text; commas and
    // semicolons separate items, a group name ("Team: a@b, c@d;") is dropped,
    // empty items and "<>" are left out.
    void SetEMailAddresses(std::string_view text);

private:
    std::vector<std::unique_ptr<TMailEMailAddressItem>> items_;
};

}  // namespace kdv
