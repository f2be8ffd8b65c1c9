#pragma once
// Fixtures for the log tests: a settable clock, a throwaway folder, and a file
// system that can be told to fail in the ways a real disk does.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/clock.h"
#include "platform/dira_error.h"
#include "platform/log_file_system.h"
#include "support/temp_dir.h"
#include "support/test_files.h"

namespace kdv::testing {

// A local moment from calendar values, e.g. At(2024, 1, 29, 14, 5, 9).
inline LocalTime At(int y, unsigned m, unsigned d, int hh = 0, int mm = 0, int ss = 0) {
    using namespace std::chrono;
    const local_days day{year{y} / month{m} / std::chrono::day{d}};
    return LocalTime{day} + hours{hh} + minutes{mm} + seconds{ss};
}

class TFakeClock final : public IClock {
public:
    explicit TFakeClock(LocalTime start) : now_(start) {}
    LocalTime Now() const override { return now_; }
    void Set(LocalTime t) { now_ = t; }
    void Advance(std::chrono::milliseconds step) { now_ += step; }

private:
    LocalTime now_;
};

using TTempFolder = TTempDir;

// Names of the regular files in a folder, sorted.
inline std::set<std::string> FileNames(const std::filesystem::path& folder) {
    std::set<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.is_regular_file()) names.insert(entry.path().filename().string());
    }
    return names;
}

// The real file system with switches for refusals and failures.
class TFaultyFileSystem final : public ILogFileSystem {
public:
    bool refuseMoves = false;
    bool failWrites = false;
    bool failClose = false;
    int moveCalls = 0;

    bool FileExists(const std::filesystem::path& path) override { return real_.FileExists(path); }
    bool ForceDirectories(const std::filesystem::path& folder) override {
        return real_.ForceDirectories(folder);
    }
    std::unique_ptr<ILogFileHandle> OpenAppend(const std::filesystem::path& path) override {
        return std::make_unique<THandle>(*this, real_.OpenAppend(path));
    }
    bool MoveFileNoReplace(const std::filesystem::path& from,
                           const std::filesystem::path& to) override {
        ++moveCalls;
        return !refuseMoves && real_.MoveFileNoReplace(from, to);
    }

private:
    class THandle final : public ILogFileHandle {
    public:
        THandle(TFaultyFileSystem& owner, std::unique_ptr<ILogFileHandle> real)
            : owner_(owner), real_(std::move(real)) {}
        void Write(std::string_view bytes) override {
            if (owner_.failWrites) throw EDiraError(TErrorKind::ekLocal, "No space left on device");
            real_->Write(bytes);
        }
        void Flush() override { real_->Flush(); }
        void Close() override {
            real_->Close();
            if (owner_.failClose) throw EDiraError(TErrorKind::ekLocal, "Input/output error");
        }
        bool IsStillAt(const std::filesystem::path& path) const override {
            return real_->IsStillAt(path);
        }

    private:
        TFaultyFileSystem& owner_;
        std::unique_ptr<ILogFileHandle> real_;
    };

    ILogFileSystem& real_ = SystemLogFileSystem();
};

}  // namespace kdv::testing
