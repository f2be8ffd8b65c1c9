#pragma once
// Lines of text kept in one buffer, each followed by LF. A mail of millions of
// short lines then costs about its own size, not an object per line.
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

namespace kdv {

class TMailLines {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string_view*;
        using reference = std::string_view;

        const_iterator() = default;
        std::string_view operator*() const;
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& other) const { return pos_ == other.pos_; }

    private:
        friend class TMailLines;
        const_iterator(const std::string* text, std::size_t pos) : text_(text), pos_(pos) {}
        const std::string* text_ = nullptr;
        std::size_t pos_ = 0;
    };
    using value_type = std::string_view;

    TMailLines() = default;
    TMailLines(std::initializer_list<std::string_view> lines);
    // For callers that build or compare a text as a list of lines (small
    // texts: the list costs an object per line).
    TMailLines(const std::vector<std::string>& lines);
    operator std::vector<std::string>() const { return {begin(), end()}; }
    TMailLines& operator=(std::initializer_list<std::string_view> lines);

    // Lines of a text that breaks them with CR LF, LF or CR; a break at the
    // very end adds no empty line. The text's buffer is taken over.
    static TMailLines FromText(std::string text);

    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    // Appends the line. An LF inside it ends it there and starts the next
    // line; a CR stays part of the line.
    void push_back(std::string_view line);
    // The last line; the list must not be empty.
    std::string_view back() const;
    void pop_back();
    void clear();
    // Bytes held: the lines and one LF after each.
    std::size_t ByteSize() const { return text_.size(); }

    const_iterator begin() const { return const_iterator(&text_, 0); }
    const_iterator end() const { return const_iterator(&text_, text_.size()); }

    bool operator==(const TMailLines& other) const { return count_ == other.count_ && text_ == other.text_; }

private:
    std::string text_;
    std::size_t count_ = 0;
};

}  // namespace kdv
