#pragma once
// printf-like filling of "%s" and "%d" placeholders for log and error texts.
#include <array>
#include <filesystem>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/path_text.h"

namespace kdv {

namespace format_detail {

// One value prepared for a placeholder.
struct TFormatArg {
    std::string text;
    bool integral = false;  // only these may stand for "%d"
};

template <class T>
TFormatArg MakeFormatArg(const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        return {value ? "True" : "False", false};
    } else if constexpr (std::is_integral_v<T> && !std::is_same_v<T, char>) {
        return {std::to_string(value), true};
    } else if constexpr (std::is_same_v<T, std::filesystem::path>) {
        // Streaming a path would add quotes; a log text wants the bare path.
        return {PathToUtf8(value), false};
    } else if constexpr (std::is_pointer_v<T> && std::is_convertible_v<T, std::string_view>) {
        return {value == nullptr ? std::string{} : std::string(value), false};
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        return {std::string(std::string_view(value)), false};
    } else {
        std::ostringstream out;
        out << value;
        return {out.str(), false};
    }
}

std::string FormatWithArgs(std::string_view format, std::span<const TFormatArg> args);

}  // namespace format_detail

// Fills the placeholders of `format` from left to right: "%s" takes any value
// (text, number, path, anything streamable), "%d" only an integer, "%%" is a
// literal percent sign. Raises EDiraError when a placeholder is unknown or
// lacks its value, when "%d" meets a non-integer, or when values are left over.
template <class... Args>
std::string FormatText(std::string_view format, const Args&... args) {
    const std::array<format_detail::TFormatArg, sizeof...(Args)> list{
        format_detail::MakeFormatArg(args)...};
    return format_detail::FormatWithArgs(format, list);
}

}  // namespace kdv
