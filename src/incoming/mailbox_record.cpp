#include "incoming/mailbox_record.h"

#include <charconv>
#include <fstream>
#include <system_error>

#include "platform/dira_error.h"
#include "platform/new_file.h"
#include "platform/sha256.h"
#include "platform/path_text.h"

namespace kdv {
namespace {

// A line "<prefix><count> <key>" holds the failed passes of a mail. Keys
// (a UIDL, "sha256:...", "<uidvalidity>:<uid>") never hold a blank, so no
// filed mail's line can look like one.
constexpr std::string_view kFehlerPrefix = "Fehlversuche ";
// A line "<prefix><key>" notes a mail too large to be fetched.
constexpr std::string_view kOversizedPrefix = "Zu groß ";

bool ParseFailure(const std::string& line, std::string& key, int& count) {
    if (line.rfind(kFehlerPrefix, 0) != 0) return false;
    const char* begin = line.data() + kFehlerPrefix.size();
    const char* end = line.data() + line.size();
    const auto [rest, error] = std::from_chars(begin, end, count);
    if (error != std::errc() || rest == end || *rest != ' ' || count < 1) return false;
    key.assign(rest + 1, end);
    return !key.empty();
}

}  // namespace

TPostfachVermerk::TPostfachVermerk(const std::filesystem::path& home, const std::string& art, const std::string& host,
                                   int port, const std::string& user) {
    TSha256 hash;
    hash.Update(host + "\n" + std::to_string(port) + "\n" + user);
    file_ = home / kVermerkOrdner / (art + "-" + hash.FinishHex().substr(0, 32) + ".txt");
    std::ifstream in(file_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line.front() == '#') continue;
        std::string key;
        int count = 0;
        if (ParseFailure(line, key, count)) {
            failures_[key] = count;
        } else if (line.rfind(kOversizedPrefix, 0) == 0 && line.size() > kOversizedPrefix.size()) {
            oversized_.insert(line.substr(kOversizedPrefix.size()));
        } else if (line.find(' ') == std::string::npos) {
            keys_.insert(line);
        }
    }
}

void TPostfachVermerk::Hinzufuegen(const std::string& key) {
    const auto failure = failures_.find(key);
    const int failed = failure != failures_.end() ? failure->second : 0;
    const bool added = keys_.insert(key).second;
    if (!added && failed == 0) return;
    failures_.erase(key);
    try {
        Schreiben();
    } catch (...) {
        if (added) keys_.erase(key);
        if (failed > 0) failures_[key] = failed;
        throw;
    }
}

int TPostfachVermerk::Fehlversuch(const std::string& key) {
    int& count = failures_[key];
    ++count;
    try {
        Schreiben();
    } catch (...) {
        if (--count == 0) failures_.erase(key);
        throw;
    }
    return count;
}

int TPostfachVermerk::Fehlversuche(const std::string& key) const {
    const auto found = failures_.find(key);
    return found != failures_.end() ? found->second : 0;
}

void TPostfachVermerk::NoteOversized(const std::string& key) {
    if (!oversized_.insert(key).second) return;
    try {
        Schreiben();
    } catch (...) {
        oversized_.erase(key);
        throw;
    }
}

void TPostfachVermerk::Entfernen(const std::set<std::string>& keys) {
    bool changed = false;
    for (const std::string& key : keys) {
        changed = keys_.erase(key) > 0 || changed;
        changed = failures_.erase(key) > 0 || changed;
        changed = oversized_.erase(key) > 0 || changed;
    }
    if (changed) Schreiben();
}

void TPostfachVermerk::FehlversucheBehalten(const std::set<std::string>& present) {
    bool changed = false;
    for (auto it = failures_.begin(); it != failures_.end();) {
        if (present.count(it->first) > 0) {
            ++it;
        } else {
            it = failures_.erase(it);
            changed = true;
        }
    }
    for (auto it = oversized_.begin(); it != oversized_.end();) {
        if (present.count(*it) > 0) {
            ++it;
        } else {
            it = oversized_.erase(it);
            changed = true;
        }
    }
    if (changed) Schreiben();
}

void TPostfachVermerk::Schreiben() {
    std::error_code error;
    std::filesystem::create_directories(file_.parent_path(), error);
    std::filesystem::path temp = file_;
    temp += ".neu";
    std::filesystem::remove(temp, error);
    std::string text = "# abgelegt, noch nicht aus dem Postfach entfernt\n";
    for (const std::string& key : keys_) text += key + "\n";
    if (!failures_.empty()) text += "# gescheiterte Durchgänge je Mail\n";
    for (const auto& [key, count] : failures_) {
        text += std::string(kFehlerPrefix) + std::to_string(count) + " " + key + "\n";
    }
    if (!oversized_.empty()) text += "# zu groß zum Abholen, im Postfach gelassen\n";
    for (const std::string& key : oversized_) text += std::string(kOversizedPrefix) + key + "\n";
    TNewFile file;
    error = file.Create(temp, TNewFileRights::Private);
    if (!error) error = file.Write(text);
    if (!error) error = file.Close();
    if (!error) std::filesystem::rename(temp, file_, error);
    if (error) {
        const std::string reason = error.message();
        std::filesystem::remove(temp, error);
        throw EDiraError(TErrorKind::ekLocal, "Vermerkdatei " + PathToUtf8(file_) + " kann nicht geschrieben werden: " + reason);
    }
}

}  // namespace kdv
