#pragma once
// The IMAP4 client: greeting, capabilities, STARTTLS, LOGIN, SELECT, FETCH of
// a whole mail (streamed as it arrives) and of a UID, UID STORE, EXPUNGE and
// LOGOUT. Commands are tagged "C1", "C2", ...; the reply reader collects
// data lines with their literals up to the tagged line.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <set>
#include <string>
#include <vector>

#include "clients/sasl_oauth.h"
#include "net/mail_tls_client.h"
#include "platform/dira_error.h"

namespace kdv {

class TMailMessage;
class TByteSink;

enum class TIMAPConnectionState {
    csAny,
    csNonAuthenticated,
    csAuthenticated,
    csSelected,
    csUnexpectedlyDisconnected,
};

// "Alle", "Nicht authentifiziert", ...
const char* ConnectionStateName(TIMAPConnectionState state);

inline constexpr const char* kImapByeText =
    "Der Server hat die Verbindung ordnungsgemäß geschlossen, möglicherweise weil die Verbindung zu lange "
    "inaktiv war.";
inline constexpr const char* kImapNumberText =
    "Zahlenparameter (relative Meldungsnummer oder UID) ist ungültig; Muss 1 oder größer sein.";

struct TIMAPMailBox {
    std::string Name;
    std::uint32_t TotalMsgs = 0;
    std::uint32_t RecentMsgs = 0;
    std::string UIDValidity;
    std::string UIDNext;
    std::uint32_t FirstUnseenMsg = 0;
    std::set<std::string> Flags;
    std::set<std::string> PermanentFlags;
    bool ReadOnly = false;
    void Clear() { *this = TIMAPMailBox(); }
};

struct TIMAPReply {
    // "OK", "NO", "BAD", "PREAUTH", "BYE", "+" (empty before the first reply).
    std::string Code;
    // The data lines kept, without "* ", literals appended.
    std::vector<std::string> Text;
    // The tagged (or ending) line's text after its code.
    std::string Last;
};

// What came with a fetched mail besides its text.
struct TIMAPFetchItems {
    std::string UID;
    std::set<std::string> Flags;
    std::uint64_t Size = 0;
};

class TMailIMAP4 : public TMailExplicitTLSClient {
public:
    TMailIMAP4();
    ~TMailIMAP4() override;

    std::string Username;
    std::string Password;
    // Set: the login is AUTHENTICATE with an OAuth 2.0 token from this
    // source (OAUTHBEARER or XOAUTH2, as offered; the token in the command
    // line when the server offers SASL-IR) instead of LOGIN. Not owned.
    IOAuthTokenSource* OAuth = nullptr;
    // Kept for the settings that name it; the buffer is drained without
    // waiting before each command.
    int MilliSecsToWaitToClearBuffer = 10;
    TIMAPConnectionState ConnectionState = TIMAPConnectionState::csNonAuthenticated;
    std::set<std::string> Capabilities;
    std::string GreetingBanner;
    TIMAPMailBox MailBox;
    TIMAPReply LastReply;

    std::uint32_t CommandCounter() const { return counter_; }

    // Connects when not connected, reads the greeting and (with autoLogin)
    // logs in. Any failure closes the connection and is raised.
    void Connect(bool autoLogin = true);
    // STARTTLS when due, then LOGIN or (with OAuth) AUTHENTICATE. A refusal
    // raises ekAuthentication with the server's text (with OAuth:
    // kOAuthRefused, the server's text and the content of its error
    // challenge, after one retry with a renewed token; NoOAuthOfferedText
    // when neither mechanism is offered); no text holds the token. Any
    // failure disconnects.
    void Login();
    bool Capability();

    // True when the server answered OK; MailBox then describes the mailbox.
    bool SelectMailBox(const std::string& name);
    // As SelectMailBox, read-only (EXAMINE): the server changes no flag, so
    // a look at the mailbox leaves new mails new.
    bool ExamineMailBox(const std::string& name);
    // FETCH <n> (RFC822) into the message through the MIME reader.
    bool Retrieve(std::uint32_t number, TMailMessage& message);
    // FETCH <n> (RFC822), the mail's bytes written to `sink` as they arrive;
    // `items` gets the UID and flags when the server sent them. False when
    // the server refused or the reply was not a mail.
    bool RetrieveRaw(std::uint32_t number, TByteSink& sink, TIMAPFetchItems* items = nullptr);
    // UID FETCH <uid> (UID RFC822) as RetrieveRaw; a mail announced larger
    // than `max_size` bytes (0: no limit) is not transferred: the
    // connection is closed and EDiraError of kind ekTooLarge raised.
    bool RetrieveRawByUID(const std::string& uid, TByteSink& sink, std::uint64_t max_size,
                          TIMAPFetchItems* items = nullptr);
    // UID, flags and size of every mail of the selected mailbox, in the
    // server's order. False when the server refused.
    bool ListMessages(std::vector<TIMAPFetchItems>& messages);
    // The header fields `fields` ("FROM SUBJECT") of a mail, as the server
    // sends them, without marking it seen. False when refused.
    bool FetchHeaderFields(const std::string& uid, const std::string& fields, std::string& header);
    bool GetUID(std::uint32_t number, std::string& uid);
    // FETCH <n> (UID FLAGS): both in one exchange.
    bool GetUIDAndFlags(std::uint32_t number, TIMAPFetchItems& items);
    bool UIDDeleteMsg(const std::string& uid);
    bool ExpungeMailBox();
    // LOGOUT when connected, close; never raises.
    void Disconnect();

    // The LOGIN arguments: a plain atom bare, other 7-bit text as a quoted
    // string, text with 8-bit bytes (or line breaks) as a literal.
    enum class TArgForm { Atom, Quoted, Literal };
    static TArgForm ArgFormOf(const std::string& text, bool atom_allowed);
    static std::string Quoted(const std::string& text);

protected:
    void SendFarewell() override;

private:
    std::string NewTag();
    // SELECT or EXAMINE, as `verb` says.
    bool OpenMailBox(const std::string& verb, const std::string& name);
    void CheckState(std::initializer_list<TIMAPConnectionState> allowed) const;
    static void CheckNumber(std::uint32_t number);
    // Sends the tagged command (its literals each waiting for "+") and reads
    // its reply.
    std::string SendCmd(const std::string& command, const std::vector<std::string>& expected,
                        const std::vector<std::string>& literals = {});
    void WriteCommand(const std::string& tag, const std::string& command, const std::vector<std::string>& literals);
    // Sends a FETCH of one whole mail and streams it into `sink`.
    bool FetchMail(const std::string& command, const std::function<bool(const std::string&)>& is_wanted,
                   TByteSink& sink, std::uint64_t max_size, TIMAPFetchItems* items);
    // Reads a reply up to its tagged line (no tag: the greeting), within
    // the time limit. Keeps the data lines of the words in `expected` (and
    // capabilities), at most kMaxKeptReplyBytes; others are passed over.
    std::string ReadReply(const std::string& tag, const std::vector<std::string>& expected,
                          bool single_line = false);
    void TakeCapabilities(const std::vector<std::string>& lines, const std::string& last);
    void LoginWithPassword();
    void AuthenticateWithOAuth();
    // One AUTHENTICATE exchange; true when the server took the token, else
    // `refusal` describes the refusal.
    bool TryOAuth(TOAuthMechanism mechanism, const std::string& token, std::string& refusal);
    void Lost();

    std::uint32_t counter_ = 0;
    // A reply line read early (the server answered a literal's announcement
    // with its tagged refusal).
    std::vector<std::string> pending_;
    // The capability lines of the last reply (those that arrive with the
    // LOGIN reply).
    std::vector<std::string> all_data_;
};

}  // namespace kdv
