#pragma once
// The durable note of mails that were filed but are not yet gone from their
// mailbox, one file per server and user in the home folder. A pass that
// meets a noted mail removes it without filing it again, so a pass cut off
// between filing and removal files nothing twice. The file is replaced
// whole for every change, so a crash leaves the old or the new note.
#include <filesystem>
#include <set>
#include <string>

namespace kdv {

inline constexpr const char* kVermerkOrdner = "Postfach";

class TPostfachVermerk {
public:
    // `art` is "pop3" or "imap". Loads the note; a missing one is empty.
    TPostfachVermerk(const std::filesystem::path& home, const std::string& art, const std::string& host, int port,
                     const std::string& user);

    bool Enthaelt(const std::string& key) const { return keys_.count(key) > 0; }
    // Notes the mail; written through before it returns. Raises EDiraError
    // (ekLocal) when the note cannot be written.
    void Hinzufuegen(const std::string& key);
    // Forgets the mails; written through.
    void Entfernen(const std::set<std::string>& keys);
    const std::set<std::string>& Eintraege() const { return keys_; }
    const std::filesystem::path& Datei() const { return file_; }

private:
    void Schreiben();

    std::filesystem::path file_;
    std::set<std::string> keys_;
};

}  // namespace kdv
