#include "platform/windows_text.h"

#include <windows.h>

#include "platform/text_file_encoding.h"

namespace kdv {

std::wstring WideFromUtf8(std::string_view utf8) {
    // UTF-16 code units in host order are what the wide calls take; the
    // program's own converter replaces broken input the same way everywhere.
    const std::string units = Utf8ToUtf16(utf8, false);
    std::wstring wide(units.size() / 2, L'\0');
    for (std::size_t i = 0; i < wide.size(); ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(units[2 * i]) |
                                       (static_cast<unsigned char>(units[2 * i + 1]) << 8));
    }
    return wide;
}

std::string Utf8FromWide(std::wstring_view wide) {
    std::string units;
    units.reserve(wide.size() * 2);
    for (const wchar_t c : wide) {
        units += static_cast<char>(c & 0xFF);
        units += static_cast<char>((c >> 8) & 0xFF);
    }
    return Utf16ToUtf8(units, false);
}

std::string WindowsErrorText(unsigned long error) {
    wchar_t* buffer = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (length > 0 && buffer != nullptr) text = Utf8FromWide(std::wstring_view(buffer, length));
    if (buffer != nullptr) ::LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text.empty() ? "Fehler " + std::to_string(error) : text;
}

namespace {

class TWindowsErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "windows"; }
    std::string message(int error) const override { return WindowsErrorText(static_cast<unsigned long>(error)); }
    std::error_condition default_error_condition(int error) const noexcept override {
        switch (error) {
            case ERROR_FILE_EXISTS:
            case ERROR_ALREADY_EXISTS: return std::errc::file_exists;
            case ERROR_FILE_NOT_FOUND:
            case ERROR_PATH_NOT_FOUND:
            case ERROR_INVALID_DRIVE:
            case ERROR_BAD_NETPATH:
            case ERROR_BAD_NET_NAME: return std::errc::no_such_file_or_directory;
            case ERROR_ACCESS_DENIED:
            case ERROR_WRITE_PROTECT: return std::errc::permission_denied;
            case ERROR_SHARING_VIOLATION:
            case ERROR_LOCK_VIOLATION: return std::errc::device_or_resource_busy;
            case ERROR_DISK_FULL:
            case ERROR_HANDLE_DISK_FULL: return std::errc::no_space_on_device;
            case ERROR_NOT_SAME_DEVICE: return std::errc::cross_device_link;
            case ERROR_DIRECTORY: return std::errc::not_a_directory;
            case ERROR_DIR_NOT_EMPTY: return std::errc::directory_not_empty;
            case ERROR_FILENAME_EXCED_RANGE:
            case ERROR_INVALID_NAME: return std::errc::filename_too_long;
            case ERROR_NOT_ENOUGH_MEMORY:
            case ERROR_OUTOFMEMORY: return std::errc::not_enough_memory;
            case ERROR_INVALID_HANDLE: return std::errc::bad_file_descriptor;
            case ERROR_TOO_MANY_OPEN_FILES: return std::errc::too_many_files_open;
            default: return std::error_condition(error, *this);
        }
    }
};

}  // namespace

std::error_code WindowsErrorCode(unsigned long error) {
    static const TWindowsErrorCategory category;
    return {static_cast<int>(error), category};
}

std::error_code LastWindowsError() { return WindowsErrorCode(::GetLastError()); }

}  // namespace kdv
