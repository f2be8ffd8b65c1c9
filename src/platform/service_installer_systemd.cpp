#include "platform/service_installer.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace kdv {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDefaultUnitFolder = "/etc/systemd/system";

// systemd splits ExecStart at blanks unless the word is quoted.
std::string QuoteIfBlank(const std::string& s) {
    if (s.find(' ') == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool UsesStagingFolder() { return std::getenv("DIRAVID_SYSTEMD_DIR") != nullptr; }

// What systemctl says about a failure is enough to act on; a tool that
// talks more is cut here.
constexpr std::size_t kMaxToolOutput = 4096;
constexpr const char* kNotRunnable = " kann nicht gestartet werden.";

// The systemctl to run: $DIRAVID_SYSTEMCTL when set (tests, packaging),
// else the system's. Empty when none is to be run: a staging folder is not
// the system's unit folder, so there is nothing to reload or enable.
std::string SystemctlProgram() {
    if (const char* tool = std::getenv("DIRAVID_SYSTEMCTL")) return tool;
    if (UsesStagingFolder()) return {};
    for (const char* candidate : {"/usr/bin/systemctl", "/bin/systemctl"}) {
        if (::access(candidate, X_OK) == 0) return candidate;
    }
    return "systemctl";  // not found: the attempt names the failure
}

std::string TrimmedOutput(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    for (char& c : text) {
        if (c == '\n' || c == '\r') c = ' ';
    }
    return text;
}

// Runs systemctl with the arguments, its output and errors collected.
// Empty when it succeeded (or none is to be run), else the failure text.
std::string RunSystemctl(const std::vector<std::string>& args) {
    const std::string tool = SystemctlProgram();
    if (tool.empty()) return {};
    std::string command = "systemctl";
    for (const auto& a : args) command += " " + a;
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return command + ": " + std::strerror(errno);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        ::close(pipe_fds[0]);
        ::close(pipe_fds[1]);
        return command + ": " + std::strerror(error);
    }
    if (pid == 0) {
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        ::dup2(pipe_fds[1], STDERR_FILENO);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(tool.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(tool.c_str(), argv.data());
        // Only what needs no allocation runs here, between fork and exit.
        [[maybe_unused]] ssize_t written = ::write(STDERR_FILENO, tool.data(), tool.size());
        written = ::write(STDERR_FILENO, kNotRunnable, std::strlen(kNotRunnable));
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    std::string output;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        const std::size_t room = kMaxToolOutput - output.size();
        output.append(buffer, std::min(static_cast<std::size_t>(n), room));
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return {};
    std::string failure = command + " fehlgeschlagen (";
    failure += WIFEXITED(status) ? "Exit-Status " + std::to_string(WEXITSTATUS(status))
                                 : "Signal " + std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    failure += ")";
    output = TrimmedOutput(std::move(output));
    if (!output.empty()) failure += ": " + output;
    return failure;
}

fs::path UnitPath(const std::string& name) { return ServiceUnitFolder() / (name + ".service"); }

}  // namespace

fs::path ServiceUnitFolder() {
    if (const char* dir = std::getenv("DIRAVID_SYSTEMD_DIR")) return fs::path{dir};
    return fs::path{kDefaultUnitFolder};
}

std::string ServiceUnitText(const TServiceDefinition& def) {
    std::string text;
    text += "[Unit]\n";
    text += "Description=" + def.Description + "\n";
    text += "After=network-online.target mariadb.service\n";
    text += "Wants=network-online.target\n\n";
    text += "[Service]\n";
    text += "Type=simple\n";
    text += "ExecStart=" + QuoteIfBlank(def.Executable.string()) + " --home " +
            QuoteIfBlank(def.Home.string()) + "\n";
    text += "WorkingDirectory=" + def.Home.string() + "\n";
    if (def.StopTimeout.count() > 0) text += "TimeoutStopSec=" + std::to_string(def.StopTimeout.count()) + "\n";
    text += "\n";
    text += "[Install]\n";
    text += "WantedBy=multi-user.target\n";
    return text;
}

TInstallOutcome InstallService(const TServiceDefinition& def) {
    const fs::path unit = UnitPath(def.Name);
    std::error_code ec;
    if (fs::exists(unit, ec)) return {false, "Der Dienst ist bereits installiert (" + unit.string() + ")."};
    fs::create_directories(unit.parent_path(), ec);
    {
        std::ofstream out(unit, std::ios::binary | std::ios::trunc);
        if (!out) return {false, std::strerror(errno) + std::string(" (") + unit.string() + ")"};
        out << ServiceUnitText(def);
        out.flush();
        if (!out) {
            const std::string err = std::strerror(errno);
            out.close();
            fs::remove(unit, ec);
            return {false, err + " (" + unit.string() + ")"};
        }
    }
    // A unit that systemd has not loaded or will not start at boot is no
    // installed service: it is taken away again and the failure reported.
    std::string failure = RunSystemctl({"daemon-reload"});
    const bool reloaded = failure.empty();
    if (reloaded) failure = RunSystemctl({"enable", def.Name + ".service"});
    if (failure.empty()) return {true, {}};
    fs::remove(unit, ec);
    if (reloaded) RunSystemctl({"daemon-reload"});
    return {false, failure};
}

TInstallOutcome UninstallService(const std::string& name) {
    const fs::path unit = UnitPath(name);
    std::error_code ec;
    if (!fs::exists(unit, ec)) return {false, "Der Dienst ist nicht installiert (" + unit.string() + ")."};
    // The unit goes whatever systemctl says: a unit that systemd cannot
    // disable (none running, say) is still to be removed.
    RunSystemctl({"disable", name + ".service"});
    if (!fs::remove(unit, ec)) return {false, ec.message() + " (" + unit.string() + ")"};
    RunSystemctl({"daemon-reload"});
    return {true, {}};
}

}  // namespace kdv
