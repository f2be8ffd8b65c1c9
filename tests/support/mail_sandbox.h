#pragma once
// Dovecot and Postfix of the mail sandbox, seen from a test: the shared
// sandbox that test.sh starts (from the environment), a private one for a
// test that stops or restarts a server, and mailbox users in either. The
// mailboxes are filled and read with curl, a client independent of the
// service's own.
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kdv::testing {

// The DIRAVID_MAIL_* / DIRAVID_*_PORT values of one sandbox.
class TMailSandboxInfo {
public:
    TMailSandboxInfo() = default;
    explicit TMailSandboxInfo(std::map<std::string, std::string> vars) : vars_(std::move(vars)) {}
    // The value of a variable; std::runtime_error when it is missing.
    const std::string& Get(const std::string& name) const;
    std::string Host() const { return Get("DIRAVID_MAIL_HOST"); }
    std::string Domain() const { return Get("DIRAVID_MAIL_DOMAIN"); }

private:
    std::map<std::string, std::string> vars_;
};

// The value of an environment variable; empty when it is not set.
std::string Env(const char* name);

// The shared sandbox of the environment, or nullptr when there is none.
const TMailSandboxInfo* SharedMailSandbox();
// True when DIRAVID_REQUIRE_MAIL=1: a missing sandbox is then a failure.
bool MailSandboxRequired();

// Skips the test when no mail sandbox is running, unless
// DIRAVID_REQUIRE_MAIL=1 makes its absence a failure.
#define KDV_REQUIRE_MAIL_SANDBOX()                                                            \
    do {                                                                                      \
        if (::kdv::testing::SharedMailSandbox() == nullptr) {                                 \
            if (::kdv::testing::MailSandboxRequired()) {                                      \
                FAIL() << "DIRAVID_REQUIRE_MAIL=1 but no mail sandbox (DIRAVID_MAIL_HOST)";    \
            }                                                                                 \
            GTEST_SKIP() << "no mail sandbox (scripts/mail-sandbox.sh start DIR; source DIR/env)"; \
        }                                                                                     \
    } while (false)

// A sandbox of the test's own, in a new folder; stopped and removed with the
// object. The script comes from the shared sandbox's DIRAVID_MAIL_SCRIPT.
class TPrivateMailSandbox {
public:
    // Starts it; std::runtime_error when that fails. With an introspection
    // address the servers also take OAuth tokens that it calls active.
    explicit TPrivateMailSandbox(const std::string& oauth_introspection = "");
    ~TPrivateMailSandbox();
    TPrivateMailSandbox(const TPrivateMailSandbox&) = delete;
    TPrivateMailSandbox& operator=(const TPrivateMailSandbox&) = delete;

    const TMailSandboxInfo& Info() const { return info_; }
    // "dovecot", "postfix" or "" for both; same ports, same mail.
    void Restart(const std::string& which);
    // Stops Postfix alone (Dovecot keeps serving the mailboxes); Restart
    // ("postfix") brings it back with the mail still in its queue.
    void StopPostfix();

private:
    std::string script_;
    std::string dir_;
    TMailSandboxInfo info_;
};

// A mailbox user made for one test (an earlier one of the same name is
// reset to an empty mailbox).
class TSandboxMailbox {
public:
    TSandboxMailbox(const TMailSandboxInfo& sandbox, const std::string& prefix);

    const std::string& Name() const { return name_; }
    const std::string& Password() const { return password_; }
    std::string Address() const;

    // Puts a mail into the INBOX directly (IMAP APPEND).
    void Append(const std::string& raw) const;
    // Hands a mail to Postfix for `to` (SMTP without authentication, which
    // the sandbox accepts for its own domain), sent as from this mailbox.
    void SendTo(const std::string& to, const std::string& raw) const;
    // The UIDs in the INBOX now.
    std::vector<std::string> Uids() const;
    // The raw mails once at least `count` have arrived (Postfix delivers in
    // the background); then a short wait shows whether more follow.
    std::vector<std::string> Mails(std::size_t count,
                                   std::chrono::milliseconds patience = std::chrono::seconds{20}) const;

private:
    std::string Curl(const std::string& tail) const;
    std::string Url() const;

    const TMailSandboxInfo* sandbox_;
    std::string name_;
    std::string password_;
};

}  // namespace kdv::testing
