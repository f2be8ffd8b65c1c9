// Sends N messages (10 KB text and a 5 KB attachment each) through the mail
// sandbox's Postfix, one session per message with STARTTLS and AUTH LOGIN as
// the service does it, and the same N with a short Python smtplib script in
// the same run; prints messages per second, the client's CPU time per
// message of both, and the ratios.
//
//   source DIR/env   (scripts/mail-sandbox.sh start DIR)
//   smtp_bench [N]   (default 1000)
//
// Targets: wall time not above Python's, client CPU time at most a third of it.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench_env.h"
#include "bench_measure.h"
#include "clients/mail_smtp.h"
#include "mail/mail_message.h"
#include "mail/mime_header_encoding.h"
#include "net/mail_ssl_io_handler.h"

namespace fs = std::filesystem;
using kdv::bench::CpuSeconds;

namespace {

constexpr std::size_t kTextBytes = 10 * 1024;
constexpr std::size_t kAttachmentBytes = 5 * 1024;
constexpr double kCpuTarget = 1.0 / 3.0;

using kdv::bench::RequiredEnv;

// Text lines of about 70 characters with umlauts, kTextBytes in all.
std::vector<std::string> TextLines() {
    std::vector<std::string> lines;
    std::size_t total = 0;
    for (int i = 0; total < kTextBytes; ++i) {
        std::string line = "Zeile " + std::to_string(i) + ": Lagemeldung über den Pegelstand, Straßensperrung Nord";
        total += line.size() + 2;
        lines.push_back(std::move(line));
    }
    return lines;
}

void WriteAttachment(const fs::path& path) {
    std::string bytes(kAttachmentBytes, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& c : bytes) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = static_cast<char>(state);
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

struct TSettings {
    std::string host;
    std::uint16_t port;
    std::string user, password, address;
    fs::path attachment;
};

// One session per message, freed at the end without QUIT, as the service does.
void SendOurs(const TSettings& s, const std::vector<std::string>& text, int count) {
    for (int i = 0; i < count; ++i) {
        kdv::TMailSSLIOHandlerSocketOpenSSL tls;
        tls.SSLOptions.SetMethod(kdv::TMailSSLVersion::sslvTLSv1_2);
        tls.SSLOptions.Mode = kdv::TMailSSLMode::sslmClient;
        kdv::TMailSMTP smtp;
        smtp.SetIOHandler(&tls);
        smtp.SetUseTLS(kdv::TUseTLS::utUseRequireTLS);
        smtp.Port = s.port;
        smtp.Host = s.host;
        smtp.Username = s.user;
        smtp.Password = s.password;
        kdv::TMailMessage message;
        message.From().Address = s.address;
        message.ReplyTo.SetEMailAddresses(s.address);
        message.Recipients.SetEMailAddresses(s.address);
        message.Subject = "Lagemeldung " + std::to_string(i) + " (#17)";
        message.MsgId = kdv::NewMessageId(std::to_string(i), s.address);
        message.SetEncoding(kdv::TMailEncoding::meMIME);
        message.MessageParts.AddText(text).SetContentType("text/plain; charset=iso-8859-1");
        message.MessageParts.AddAttachmentFile(s.attachment);
        smtp.Connect();
        smtp.Authenticate();
        smtp.Send(message);
    }
}

const char* const kPython = R"PY(
import os, smtplib, ssl, sys
from email.message import EmailMessage
host, port = os.environ["DIRAVID_MAIL_HOST"], int(os.environ["DIRAVID_SMTP_PORT"])
user, password, address = sys.argv[2], sys.argv[3], sys.argv[4]
count = int(sys.argv[1])
text = open(sys.argv[5], encoding="utf-8").read()
attachment_path = sys.argv[6]
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
ctx.minimum_version = ctx.maximum_version = ssl.TLSVersion.TLSv1_2
for i in range(count):
    msg = EmailMessage()
    msg["From"] = address
    msg["Reply-To"] = address
    msg["To"] = address
    msg["Subject"] = "Lagemeldung %d (#17)" % i
    msg.set_content(text, charset="iso-8859-1")
    with open(attachment_path, "rb") as f:
        msg.add_attachment(f.read(), maintype="application", subtype="octet-stream",
                           filename=os.path.basename(attachment_path))
    s = smtplib.SMTP(host, port)
    s.starttls(context=ctx)
    s.ehlo()
    s.user, s.password = user, password
    s.auth("LOGIN", s.auth_login, initial_response_ok=False)
    s.send_message(msg)
    s.close()
)PY";

struct TRun {
    double wall = 0;
    double cpu = 0;
};

TRun RunPython(const TSettings& s, const fs::path& dir, int count) {
    const fs::path script = dir / "send.py";
    std::ofstream(script) << kPython;
    const fs::path text = dir / "text.txt";
    {
        std::ofstream out(text, std::ios::binary);
        for (const auto& line : TextLines()) out << line << "\n";
    }
    const double cpu_before = CpuSeconds(RUSAGE_CHILDREN);
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        const std::string n = std::to_string(count);
        ::execlp("python3", "python3", script.c_str(), n.c_str(), s.user.c_str(), s.password.c_str(),
                 s.address.c_str(), text.c_str(), s.attachment.c_str(), static_cast<char*>(nullptr));
        std::_Exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    TRun run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.cpu = CpuSeconds(RUSAGE_CHILDREN) - cpu_before;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "smtp_bench: the Python script failed\n");
        std::exit(1);
    }
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    TSettings s;
    s.host = RequiredEnv("DIRAVID_MAIL_HOST");
    s.port = static_cast<std::uint16_t>(std::stoi(RequiredEnv("DIRAVID_SMTP_PORT")));
    s.user = "bench" + std::to_string(::getpid());
    s.password = "Bench-" + std::to_string(::getpid());  // smtplib sends ASCII passwords only
    s.address = s.user + "@" + RequiredEnv("DIRAVID_MAIL_DOMAIN");
    const std::string add_user = RequiredEnv("DIRAVID_MAIL_SCRIPT") + " user " + RequiredEnv("DIRAVID_MAIL_SANDBOX") + " " +
                                 s.user + " '" + s.password + "' >/dev/null";
    if (std::system(add_user.c_str()) != 0) {
        std::fprintf(stderr, "smtp_bench: could not create the mailbox user\n");
        return 1;
    }
    const fs::path dir = fs::temp_directory_path() / ("diravid-smtp-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    s.attachment = dir / "lageplan.bin";
    WriteAttachment(s.attachment);
    const std::vector<std::string> text = TextLines();

    // One session before the clock starts: loads the TLS library and warms the server.
    SendOurs(s, text, 1);
    const double cpu_before = CpuSeconds(RUSAGE_SELF);
    const auto start = std::chrono::steady_clock::now();
    SendOurs(s, text, count);
    TRun ours;
    ours.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ours.cpu = CpuSeconds(RUSAGE_SELF) - cpu_before;

    const TRun python = RunPython(s, dir, count);
    fs::remove_all(dir);

    const double wall_ratio = ours.wall / python.wall;
    const double cpu_ratio = ours.cpu / python.cpu;
    std::printf("SMTP, %d messages (10 KB text + 5 KB attachment), one session each, STARTTLS + AUTH LOGIN\n",
                count);
    std::printf("  diravid : %7.1f messages/s, %6.3f ms client CPU per message (wall %.2f s)\n",
                count / ours.wall, 1000.0 * ours.cpu / count, ours.wall);
    std::printf("  smtplib : %7.1f messages/s, %6.3f ms client CPU per message (wall %.2f s)\n",
                count / python.wall, 1000.0 * python.cpu / count, python.wall);
    std::printf("  wall time ratio diravid/smtplib: %.2f (target <= 1.00) %s\n", wall_ratio,
                wall_ratio <= 1.0 ? "met" : "MISSED");
    std::printf("  CPU time ratio diravid/smtplib:  %.3f (target <= %.3f) %s\n", cpu_ratio, kCpuTarget,
                cpu_ratio <= kCpuTarget ? "met" : "MISSED");
    return wall_ratio <= 1.0 && cpu_ratio <= kCpuTarget ? 0 : 1;
}
