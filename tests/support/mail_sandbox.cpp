#include "support/mail_sandbox.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "support/db_test_server.h"
#include "support/test_process.h"
#include "support/test_shell.h"

namespace kdv::testing {

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

namespace {

// What the command wrote to its standard output.
std::string Run(const std::string& command) {
    std::string output;
    RunShellCommand(command, "", output);
    return output;
}

// Whether the command succeeded; its output is dropped.
bool Succeeds(const std::string& command) {
    std::string ignored;
    return RunShellCommand(command, "", ignored) == 0;
}

void RunScript(const std::string& script, const std::vector<std::string>& args) {
    std::string output;
    if (kdv::testing::RunSandboxScript(script, args, "", output) != 0) {
        std::string command;
        for (const auto& a : args) command += " " + a;
        throw std::runtime_error("mail-sandbox.sh" + command + " failed: " + output);
    }
}

// DIR/env: "export NAME=VALUE" lines, the values without blanks.
std::map<std::string, std::string> ReadEnvFile(const std::filesystem::path& file) {
    std::map<std::string, std::string> vars;
    std::ifstream in(file);
    std::string word;
    while (in >> word) {
        const auto eq = word.find('=');
        if (eq != std::string::npos) vars[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return vars;
}

std::string UniqueTag() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(CurrentProcessId()) + "x" + std::to_string(counter++);
}

// A file of the mail for curl's upload; removed with the object.
class TMailFile {
public:
    explicit TMailFile(const std::string& raw)
        : path_(std::filesystem::temp_directory_path() / ("diravid-mail-" + UniqueTag() + ".eml")) {
        std::ofstream(path_, std::ios::binary) << raw;
    }
    ~TMailFile() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    // As the shell sees it: curl reads it.
    std::string Path() const { return ShellPath(path_); }

private:
    std::filesystem::path path_;
};

}  // namespace

const std::string& TMailSandboxInfo::Get(const std::string& name) const {
    const auto it = vars_.find(name);
    if (it == vars_.end()) throw std::runtime_error("mail sandbox variable missing: " + name);
    return it->second;
}

const TMailSandboxInfo* SharedMailSandbox() {
    static const TMailSandboxInfo* shared = []() -> const TMailSandboxInfo* {
        if (Env("DIRAVID_MAIL_HOST").empty() || Env("DIRAVID_MAIL_SANDBOX").empty()) return nullptr;
        std::map<std::string, std::string> vars;
        for (const char* name : {"DIRAVID_MAIL_SANDBOX", "DIRAVID_MAIL_SCRIPT", "DIRAVID_MAIL_HOST",
                                 "DIRAVID_MAIL_HOST_NOTLS", "DIRAVID_MAIL_DOMAIN", "DIRAVID_MAIL_USER",
                                 "DIRAVID_MAIL_PASSWORD", "DIRAVID_SMTP_PORT", "DIRAVID_SMTP_NOTLS_PORT",
                                 "DIRAVID_SMTPS_PORT", "DIRAVID_IMAP_PORT", "DIRAVID_IMAPS_PORT",
                                 "DIRAVID_POP3_PORT", "DIRAVID_POP3S_PORT", "DIRAVID_MAIL_CERT"}) {
            if (!Env(name).empty()) vars[name] = Env(name);
        }
        static TMailSandboxInfo info(std::move(vars));
        return &info;
    }();
    return shared;
}

bool MailSandboxRequired() {
    return Env("DIRAVID_REQUIRE_MAIL") == "1";
}

TPrivateMailSandbox::TPrivateMailSandbox(const std::string& oauth_introspection) {
    const TMailSandboxInfo* shared = SharedMailSandbox();
    // The OAuth set-up is this checkout's; a shared sandbox may come from
    // another one.
    script_ = shared != nullptr && oauth_introspection.empty()
                  ? shared->Get("DIRAVID_MAIL_SCRIPT")
                  : std::string(DIRAVID_SOURCE_DIR) + "/scripts/mail-sandbox.sh";
    dir_ = (SandboxParentFolder() / ("diravid-mail-" + UniqueTag())).string();
    if (!oauth_introspection.empty()) {
        std::filesystem::create_directories(dir_);
        std::ofstream(std::filesystem::path(dir_) / "oauth") << oauth_introspection << "\n";
    }
    RunScript(script_, {"start", ShellPath(dir_)});
    info_ = TMailSandboxInfo(ReadEnvFile(std::filesystem::path(dir_) / "env"));
}

TPrivateMailSandbox::~TPrivateMailSandbox() {
    std::string ignored;
    kdv::testing::RunSandboxScript(script_, {"stop", ShellPath(dir_)}, "", ignored);
    std::error_code error;
    std::filesystem::remove_all(dir_, error);
}

void TPrivateMailSandbox::Restart(const std::string& which) {
    std::vector<std::string> args{"restart", ShellPath(dir_)};
    if (!which.empty()) args.push_back(which);
    RunScript(script_, args);
}

void TPrivateMailSandbox::StopPostfix() {
    std::ifstream runFile(std::filesystem::path(dir_) / "run");
    std::string run;
    std::getline(runFile, run);
    if (run.empty()) throw std::runtime_error("mail sandbox has no run folder: " + dir_);
    // Postfix's own stop: it finishes the delivery in hand and keeps its queue.
    const std::string command = "postfix -c " + ShellQuote(run + "/postfix") + " stop >/dev/null 2>&1";
    if (!Succeeds(command)) throw std::runtime_error("postfix stop failed in " + run);
    // The listener is gone once a connect is refused.
    const std::string port = info_.Get("DIRAVID_SMTP_PORT");
    for (int i = 0; i < 100; ++i) {
        const std::string probe = "bash -c " + ShellQuote("exec 3<>/dev/tcp/" + info_.Host() + "/" + port) +
                                  " >/dev/null 2>&1";
        if (!Succeeds(probe)) return;
        std::this_thread::sleep_for(std::chrono::milliseconds{100});
    }
    throw std::runtime_error("postfix still listens after its stop");
}

TSandboxMailbox::TSandboxMailbox(const TMailSandboxInfo& sandbox, const std::string& prefix)
    : sandbox_(&sandbox), name_(prefix + UniqueTag()), password_("pw-" + name_) {
    RunScript(sandbox.Get("DIRAVID_MAIL_SCRIPT"), {"user", sandbox.Get("DIRAVID_MAIL_SANDBOX"), name_, password_});
}

std::string TSandboxMailbox::Address() const {
    return name_ + "@" + sandbox_->Domain();
}

std::string TSandboxMailbox::Url() const {
    return "imaps://" + sandbox_->Host() + ":" + sandbox_->Get("DIRAVID_IMAPS_PORT") + "/INBOX";
}

std::string TSandboxMailbox::Curl(const std::string& tail) const {
    return Run("curl -s -k -u " + ShellQuote(name_ + ":" + password_) + " " + tail + " 2>/dev/null");
}

void TSandboxMailbox::Append(const std::string& raw) const {
    const TMailFile file(raw);
    const std::string command = "curl -s -S -k -u " + ShellQuote(name_ + ":" + password_) + " " + ShellQuote(Url()) + " -T " +
                                ShellQuote(file.Path()) + " >/dev/null";
    if (!Succeeds(command)) throw std::runtime_error("IMAP APPEND failed for " + name_);
}

void TSandboxMailbox::SendTo(const std::string& to, const std::string& raw) const {
    const TMailFile file(raw);
    const std::string command = "curl -s -S " +
                                ShellQuote("smtp://" + sandbox_->Host() + ":" + sandbox_->Get("DIRAVID_SMTP_NOTLS_PORT")) +
                                " --mail-from " + ShellQuote(Address()) + " --mail-rcpt " + ShellQuote(to) + " -T " +
                                ShellQuote(file.Path()) + " >/dev/null";
    if (!Succeeds(command)) throw std::runtime_error("SMTP to " + to + " failed");
}

std::vector<std::string> TSandboxMailbox::Uids() const {
    std::vector<std::string> uids;
    std::istringstream in(Curl(ShellQuote(Url()) + " -X 'UID SEARCH ALL'"));
    std::string word;
    while (in >> word) {
        if (word.find_first_not_of("0123456789") == std::string::npos) uids.push_back(word);
    }
    return uids;
}

std::vector<std::string> TSandboxMailbox::Mails(std::size_t count, std::chrono::milliseconds patience) const {
    const auto until = std::chrono::steady_clock::now() + patience;
    std::vector<std::string> uids = Uids();
    while (uids.size() < count && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds{200});
        uids = Uids();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds{500});
    uids = Uids();
    std::vector<std::string> mails;
    for (const std::string& uid : uids) mails.push_back(Curl(ShellQuote(Url() + ";UID=" + uid)));
    return mails;
}

}  // namespace kdv::testing
