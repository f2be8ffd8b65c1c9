#pragma once
// The service's only report: a leveled text log, one flushed line per call,
// rotated at the first line of a new day and whenever it is opened.
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "log/log_line.h"
#include "log/text_format.h"
#include "platform/clock.h"
#include "platform/log_file_system.h"

namespace kdv {

enum class TLogRotationMode { logrotDaily, logrotStartup };

// A set over the rotation modes.
class TLogRotation {
public:
    constexpr TLogRotation() = default;
    constexpr TLogRotation(std::initializer_list<TLogRotationMode> modes) {
        for (const TLogRotationMode mode : modes) Include(mode);
    }
    constexpr bool Contains(TLogRotationMode mode) const { return (bits_ & Bit(mode)) != 0; }
    constexpr TLogRotation& Include(TLogRotationMode mode) {
        bits_ |= Bit(mode);
        return *this;
    }
    constexpr TLogRotation& Exclude(TLogRotationMode mode) {
        bits_ &= static_cast<std::uint8_t>(~Bit(mode));
        return *this;
    }
    constexpr bool Empty() const { return bits_ == 0; }
    constexpr bool operator==(const TLogRotation&) const = default;

private:
    static constexpr std::uint8_t Bit(TLogRotationMode mode) {
        return static_cast<std::uint8_t>(1u << static_cast<unsigned>(mode));
    }
    std::uint8_t bits_ = 0;
};

// Thread-safe: lines may come from the service control thread and from the
// poll cycle at the same time, and a rotation closes the file under both.
class TLogFile {
public:
    // Sets the initial values (level 5, rotation at open on, daily rotation
    // off, no file name); opens nothing.
    explicit TLogFile(IClock& clock = SystemClock(),
                      ILogFileSystem& files = SystemLogFileSystem());
    // As above, then takes the path, the level and exactly the rotations of the
    // set, and opens the file (raising as Open does).
    TLogFile(const std::filesystem::path& Dateiname, int LogLevel, TLogRotation rotation,
             IClock& clock = SystemClock(), ILogFileSystem& files = SystemLogFileSystem());
    // Closes the file; never throws.
    ~TLogFile();

    TLogFile(const TLogFile&) = delete;
    TLogFile& operator=(const TLogFile&) = delete;

    // Stores path and level (also while open: the next line then follows the
    // new path), then opens as Open().
    bool Open(const std::filesystem::path& Dateiname, int LogLevel);
    // Opens the file unless it is open: creates the folders, rotates a file
    // left from before (when switched on), appends or creates. Returns true;
    // raises EDiraError with one of the fixed texts or the system's message.
    bool Open();
    // Closes the file if open; returns true. Raises when the system reports an
    // error while closing; the log counts as closed afterwards in any case.
    bool Close();

    // Writes one line when the level is at most LogLevel(). A failed write is
    // swallowed (the line is lost); raises only when the file has to be opened
    // and cannot be.
    void Add(int LogLevel, const std::string& Text) { AddLine(LogLevel, Text); }
    void Add(int LogLevel, std::string_view Text) { AddLine(LogLevel, Text); }
    void Add(int LogLevel, const char* Text) { AddLine(LogLevel, Text == nullptr ? "" : Text); }
    // Fills the placeholders of `format` (see FormatText) and writes the result.
    // A format that does not fit its values raises, whatever the level.
    template <class... Args>
        requires(sizeof...(Args) > 0)
    void Add(int LogLevel, std::string_view format, const Args&... args) {
        AddLine(LogLevel, FormatText(format, args...));
    }

    bool RotateLogFileDaily() const;
    void SetRotateLogFileDaily(bool value);
    bool RotateLogFileAtStart() const;
    void SetRotateLogFileAtStart(bool value);
    int LogLevel() const;
    void SetLogLevel(int value);
    // Folder for rotated files; empty means next to the log file.
    std::filesystem::path FolderOldLogFiles() const;
    void SetFolderOldLogFiles(const std::filesystem::path& value);
    std::filesystem::path Dateiname() const;
    // Raises "Eigenschaft kann nur bei geschlossener Log-Datei geändert werden"
    // while the file is open.
    void SetDateiname(const std::filesystem::path& value);

    bool Started() const;

private:
    void AddLine(int level, std::string_view text);
    void OpenLocked();
    void CloseLocked();
    void RotateDaily(LocalTime now);
    void RotateAtStart();
    void WriteLine(LocalTime now, int level, std::string_view text);

    IClock& clock_;
    ILogFileSystem& files_;
    mutable std::mutex mutex_;

    bool bRotateLogFileDaily = false;
    std::optional<LocalTime> dtOpenLogFile;  // empty: never opened
    bool bRotateLogFileAtStart = true;
    int iLogLevel = 5;
    std::filesystem::path sFolderLogFilesOld;
    std::filesystem::path sDateiname;
    bool bStarted = false;
    std::unique_ptr<ILogFileHandle> fLog;
};

}  // namespace kdv
