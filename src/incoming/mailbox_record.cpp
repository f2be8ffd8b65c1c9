#include "incoming/mailbox_record.h"

#include <fstream>
#include <system_error>

#include "platform/dira_error.h"
#include "platform/new_file.h"
#include "platform/sha256.h"

namespace kdv {

TPostfachVermerk::TPostfachVermerk(const std::filesystem::path& home, const std::string& art, const std::string& host,
                                   int port, const std::string& user) {
    TSha256 hash;
    hash.Update(host + "\n" + std::to_string(port) + "\n" + user);
    file_ = home / kVermerkOrdner / (art + "-" + hash.FinishHex().substr(0, 32) + ".txt");
    std::ifstream in(file_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() != '#') keys_.insert(line);
    }
}

void TPostfachVermerk::Hinzufuegen(const std::string& key) {
    if (!keys_.insert(key).second) return;
    try {
        Schreiben();
    } catch (...) {
        keys_.erase(key);
        throw;
    }
}

void TPostfachVermerk::Entfernen(const std::set<std::string>& keys) {
    bool changed = false;
    for (const std::string& key : keys) changed = keys_.erase(key) > 0 || changed;
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
    TNewFile file;
    error = file.Create(temp, TNewFileRights::Private);
    if (!error) error = file.Write(text);
    if (!error) error = file.Close();
    if (!error) std::filesystem::rename(temp, file_, error);
    if (error) {
        const std::string reason = error.message();
        std::filesystem::remove(temp, error);
        throw EDiraError(TErrorKind::ekLocal, "Vermerkdatei " + file_.string() + " kann nicht geschrieben werden: " + reason);
    }
}

}  // namespace kdv
