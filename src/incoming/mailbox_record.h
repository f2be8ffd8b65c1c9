#pragma once
// The durable note of a mailbox, one file per server and user in the home
// folder: the mails that were filed but are not yet gone from the mailbox,
// and how many passes failed on a mail for a reason of its own. A pass that
// meets a noted mail removes it without filing it again, so a pass cut off
// between filing and removal files nothing twice; a mail that failed in
// kMaxFehlversuche passes is kept and removed instead of coming back for
// ever. The file is replaced whole for every change, so a crash leaves the
// old or the new note.
#include <filesystem>
#include <map>
#include <set>
#include <string>

namespace kdv {

inline constexpr const char* kVermerkOrdner = "Postfach";
// After this many failed passes a mail is kept in Fehler and removed.
inline constexpr int kMaxFehlversuche = 3;

class TPostfachVermerk {
public:
    // `art` is "pop3" or "imap". Loads the note; a missing one is empty.
    TPostfachVermerk(const std::filesystem::path& home, const std::string& art, const std::string& host, int port,
                     const std::string& user);

    bool Enthaelt(const std::string& key) const { return keys_.count(key) > 0; }
    // Notes the mail as filed and forgets its failed passes; written
    // through before it returns. Raises EDiraError (ekLocal) when the note
    // cannot be written.
    void Hinzufuegen(const std::string& key);
    // Counts one more failed pass of the mail and returns the count;
    // written through. Raises as Hinzufuegen.
    int Fehlversuch(const std::string& key);
    int Fehlversuche(const std::string& key) const;
    // Forgets the mails, filed or failed; written through.
    void Entfernen(const std::set<std::string>& keys);
    // Forgets the failed passes and oversize notes of every mail not in
    // `present` (mails gone from the mailbox by other hands); written
    // through.
    void FehlversucheBehalten(const std::set<std::string>& present);
    // Mails announced or found larger than the service takes: they stay in
    // the mailbox for a person to read and are not fetched again.
    bool IsOversized(const std::string& key) const { return oversized_.count(key) > 0; }
    // Notes such a mail; written through. Raises as Hinzufuegen.
    void NoteOversized(const std::string& key);
    const std::set<std::string>& Eintraege() const { return keys_; }
    const std::map<std::string, int>& Fehlgeschlagene() const { return failures_; }
    const std::filesystem::path& Datei() const { return file_; }

private:
    void Schreiben();

    std::filesystem::path file_;
    std::set<std::string> keys_;
    std::map<std::string, int> failures_;
    std::set<std::string> oversized_;
};

}  // namespace kdv
