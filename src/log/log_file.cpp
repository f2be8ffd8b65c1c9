#include "log/log_file.h"

#include <chrono>

#include "log/log_rotation_names.h"
#include "platform/ansi_code_page.h"
#include "platform/dira_error.h"
#include "platform/text_file_encoding.h"

namespace kdv {
namespace {

// More same-day start files than this means a crash loop or a broken file
// system; then the log is appended to instead of searching on without end.
constexpr unsigned kMaxStartupRotationCandidates = 100000;

bool SameDay(LocalTime a, LocalTime b) {
    return std::chrono::floor<std::chrono::days>(a) == std::chrono::floor<std::chrono::days>(b);
}

}  // namespace

TLogFile::TLogFile(IClock& clock, ILogFileSystem& files) : clock_(clock), files_(files) {}

TLogFile::TLogFile(const std::filesystem::path& Dateiname, int LogLevel, TLogRotation rotation,
                   IClock& clock, ILogFileSystem& files)
    : clock_(clock), files_(files) {
    const std::lock_guard lock(mutex_);
    sDateiname = Dateiname;
    iLogLevel = LogLevel;
    bRotateLogFileDaily = rotation.Contains(TLogRotationMode::logrotDaily);
    bRotateLogFileAtStart = rotation.Contains(TLogRotationMode::logrotStartup);
    OpenLocked();
}

TLogFile::~TLogFile() {
    try {
        const std::lock_guard lock(mutex_);
        CloseLocked();
    } catch (...) {
        // A destructor has nobody left to report to.
    }
}

bool TLogFile::Open(const std::filesystem::path& Dateiname, int LogLevel) {
    const std::lock_guard lock(mutex_);
    sDateiname = Dateiname;
    iLogLevel = LogLevel;
    OpenLocked();
    return true;
}

bool TLogFile::Open() {
    const std::lock_guard lock(mutex_);
    OpenLocked();
    return true;
}

bool TLogFile::Close() {
    const std::lock_guard lock(mutex_);
    CloseLocked();
    return true;
}

void TLogFile::OpenLocked() {
    if (bStarted) return;
    if (sDateiname.empty()) throw EDiraError(TErrorKind::ekUsage, "Keine Log-Datei vorhanden.");
    if (!files_.ForceDirectories(sDateiname.parent_path())) {
        throw EDiraError(TErrorKind::ekLocal, "Verzeichnis für die Log-Datei kann nicht erstellt werden.");
    }
    if (!sFolderLogFilesOld.empty() && !files_.ForceDirectories(sFolderLogFilesOld)) {
        throw EDiraError(TErrorKind::ekLocal, "Verzeichnis für rotierte Log-Dateien kann nicht erstellt werden.");
    }
    if (bRotateLogFileAtStart) RotateAtStart();
    fLog = files_.OpenAppend(sDateiname);
    bStarted = true;
    dtOpenLogFile = clock_.Now();
}

void TLogFile::CloseLocked() {
    if (!bStarted) return;
    bStarted = false;
    const std::unique_ptr<ILogFileHandle> handle = std::move(fLog);
    try {
        handle->Flush();
    } catch (...) {
        try {
            handle->Close();
        } catch (...) {
            // The flush failure is the one worth reporting.
        }
        throw;
    }
    handle->Close();
}

void TLogFile::AddLine(int level, std::string_view text) {
    const std::lock_guard lock(mutex_);
    if (level > iLogLevel) return;
    // One reading for the day check and the line: with two, a line stamped just
    // after midnight could land in the old day's file and hold off its rotation.
    const LocalTime now = clock_.Now();
    if (bRotateLogFileDaily && (!dtOpenLogFile || !SameDay(*dtOpenLogFile, now))) {
        RotateDaily(now);
    }
    if (!bStarted) OpenLocked();
    WriteLine(now, level, text);
}

namespace {

// The log is in the system's own code page, as the editors that open it
// expect: UTF-8 on Linux, the ANSI code page on Windows (a character it
// cannot hold becomes "?").
std::string InSystemCodePage(std::string line) {
    static const bool ansi = SystemAnsiCodePage() != kUtf8CodePage;
    return ansi ? UnmarkedTextFromUtf8(line, true) : line;
}

}  // namespace

void TLogFile::WriteLine(LocalTime now, int level, std::string_view text) {
    try {
        if (!fLog->IsStillAt(sDateiname)) {
            // Someone removed or replaced the file while it was open; writing on
            // would feed a file nobody can see, so follow the name instead.
            (void)files_.ForceDirectories(sDateiname.parent_path());
            std::unique_ptr<ILogFileHandle> fresh = files_.OpenAppend(sDateiname);
            std::swap(fLog, fresh);
            try {
                fresh->Close();
            } catch (...) {
                // The old file is gone from view; its close result helps nobody.
            }
        }
        fLog->Write(InSystemCodePage(FormatLogLine(now, level, text)));
        fLog->Flush();
        dtOpenLogFile = now;
    } catch (...) {
        // A log line must never take the caller down; the line is lost.
    }
}

void TLogFile::RotateDaily(LocalTime now) {
    try {
        if (sDateiname.empty()) return;
        const std::filesystem::path target = DailyRotationTarget(sDateiname, sFolderLogFilesOld, now);
        if (!files_.ForceDirectories(target.parent_path())) {
            throw EDiraError(TErrorKind::ekLocal, "Verzeichnis für alte Log-Dateien kann nicht erstellt werden.");
        }
        CloseLocked();
        (void)files_.MoveFileNoReplace(sDateiname, target);
    } catch (...) {
        // The log goes on in the file it has; rotation is retried on a later day.
    }
}

void TLogFile::RotateAtStart() {
    try {
        if (!files_.FileExists(sDateiname)) return;
        const LocalTime now = clock_.Now();
        // All candidates share one folder, so creating it once covers them all.
        if (!files_.ForceDirectories(
                StartupRotationCandidate(sDateiname, sFolderLogFilesOld, now, 0).parent_path())) {
            return;
        }
        for (unsigned n = 0; n <= kMaxStartupRotationCandidates; ++n) {
            const std::filesystem::path candidate =
                StartupRotationCandidate(sDateiname, sFolderLogFilesOld, now, n);
            if (!files_.FileExists(candidate)) {
                (void)files_.MoveFileNoReplace(sDateiname, candidate);
                return;
            }
        }
    } catch (...) {
        // The existing file is then simply continued.
    }
}

bool TLogFile::RotateLogFileDaily() const {
    const std::lock_guard lock(mutex_);
    return bRotateLogFileDaily;
}

void TLogFile::SetRotateLogFileDaily(bool value) {
    const std::lock_guard lock(mutex_);
    bRotateLogFileDaily = value;
}

bool TLogFile::RotateLogFileAtStart() const {
    const std::lock_guard lock(mutex_);
    return bRotateLogFileAtStart;
}

void TLogFile::SetRotateLogFileAtStart(bool value) {
    const std::lock_guard lock(mutex_);
    bRotateLogFileAtStart = value;
}

int TLogFile::LogLevel() const {
    const std::lock_guard lock(mutex_);
    return iLogLevel;
}

void TLogFile::SetLogLevel(int value) {
    const std::lock_guard lock(mutex_);
    iLogLevel = value;
}

std::filesystem::path TLogFile::FolderOldLogFiles() const {
    const std::lock_guard lock(mutex_);
    return sFolderLogFilesOld;
}

void TLogFile::SetFolderOldLogFiles(const std::filesystem::path& value) {
    const std::lock_guard lock(mutex_);
    sFolderLogFilesOld = value;
}

std::filesystem::path TLogFile::Dateiname() const {
    const std::lock_guard lock(mutex_);
    return sDateiname;
}

void TLogFile::SetDateiname(const std::filesystem::path& value) {
    const std::lock_guard lock(mutex_);
    if (bStarted) {
        throw EDiraError(TErrorKind::ekUsage, "Eigenschaft kann nur bei geschlossener Log-Datei geändert werden");
    }
    sDateiname = value;
}

bool TLogFile::Started() const {
    const std::lock_guard lock(mutex_);
    return bStarted;
}

}  // namespace kdv
