// Peak memory of filing one large mail: `diravid --import` of mails of about
// 20 MB in the shapes that cost the most (a text of empty lines, of short
// lines, one long line, HTML, quoted-printable, base64 text, a base64
// attachment), each in a process of its own; prints the peak resident memory
// against a small mail's and against the target of three times the mail's
// size plus 16 MB.
//
//   source DIR/env   (scripts/mariadb-sandbox.sh start DIR)
//   import_memory_bench [MB]   (default 20)
//
// The bench makes its own database on that server, with INHALT as LONGTEXT,
// and raises the server's max_allowed_packet to 64 MB while it runs: with a
// server's defaults (a 16 MB statement, a MEDIUMTEXT column) such a text is
// refused with its own line before it costs anything.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bench_env.h"
#include "bench_mail_text.h"
#include "db/db_connection.h"
#include "db/db_query.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using kdv::bench::AppendBase64Lines;
using kdv::bench::RandomBytes;
using kdv::bench::RequiredEnv;

constexpr const char* kDatabase = "KdvImportBench";
constexpr std::uint64_t kBenchPacketBytes = 64u * 1024 * 1024;
constexpr long kSlackKb = 16 * 1024;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "import_memory_bench: %s\n", what.c_str());
    std::exit(1);
}

struct TShape {
    const char* name;
    // The mail, of about `bytes` bytes.
    std::function<std::string(std::size_t bytes)> make;
};

std::string Header(const std::string& contentType, const std::string& encoding) {
    return "From: Leitstelle Nord <leitstelle@example.org>\r\nTo: lage@example.org\r\nSubject: Lagemeldung\r\n"
           "Date: Thu, 10 Dec 2026 12:00:00 +0100\r\nMessage-ID: <gross@bench.localhost>\r\nMIME-Version: 1.0\r\n"
           "Content-Type: " +
           contentType + "\r\n" + (encoding.empty() ? "" : "Content-Transfer-Encoding: " + encoding + "\r\n") + "\r\n";
}

std::string Repeated(std::string mail, const std::string& line, std::size_t bytes) {
    mail.reserve(bytes + line.size());
    while (mail.size() < bytes) mail += line;
    return mail;
}

const std::vector<TShape>& Shapes() {
    static const std::vector<TShape> shapes = {
        {"empty lines",
         [](std::size_t bytes) { return Repeated(Header("text/plain; charset=utf-8", ""), "\r\n", bytes) + "Ende\r\n"; }},
        {"short lines",
         [](std::size_t bytes) {
             return Repeated(Header("text/plain; charset=utf-8", "8bit"),
                             "Pegel 4,20 m, Deich bei km 12 wird verstärkt, Sandsäcke angefordert.\r\n", bytes);
         }},
        {"one long line",
         [](std::size_t bytes) {
             std::string mail = Header("text/plain; charset=utf-8", "8bit");
             mail.append(bytes - mail.size(), 'x');
             return mail + "\r\n";
         }},
        {"html",
         [](std::size_t bytes) {
             return Repeated(Header("text/html; charset=utf-8", "8bit") + "<html><body>\r\n",
                             "<p>Pegel <b>4,20 m</b> &amp; steigend, Deich bei km 12</p>\r\n", bytes) +
                    "</body></html>\r\n";
         }},
        {"quoted-printable",
         [](std::size_t bytes) {
             return Repeated(Header("text/plain; charset=iso-8859-1", "quoted-printable"),
                             "Lagemeldung =FCber den Pegelstand, Stra=DFensperrung Nord, Sands=E4cke =3D 400\r\n",
                             bytes);
         }},
        {"base64 text",
         [](std::size_t bytes) {
             const std::string text = Repeated("", "Pegel 4,20 m, Deich bei km 12 wird verstärkt.\r\n", bytes * 3 / 4);
             std::string mail = Header("text/plain; charset=utf-8", "base64");
             AppendBase64Lines(mail, text);
             return mail;
         }},
        {"base64 attachment",
         [](std::size_t bytes) {
             std::string mail = Header("multipart/mixed; boundary=\"=_b\"", "") +
                                "--=_b\r\nContent-Type: text/plain; charset=utf-8\r\n\r\nLageplan anbei.\r\n"
                                "--=_b\r\nContent-Type: application/octet-stream; name=\"lageplan.bin\"\r\n"
                                "Content-Transfer-Encoding: base64\r\n"
                                "Content-Disposition: attachment; filename=\"lageplan.bin\"\r\n\r\n";
             AppendBase64Lines(mail, RandomBytes(bytes * 3 / 4, 0x5EED));
             return mail + "--=_b--\r\n";
         }},
    };
    return shapes;
}

// Builds and writes the mail in a process of its own. A child started later
// inherits the peak memory of the process that starts it, so this process
// must never hold a large mail itself.
void WriteMail(const fs::path& path, const std::function<std::string()>& make) {
    const pid_t pid = ::fork();
    if (pid < 0) Fail("fork failed");
    if (pid == 0) {
        std::ofstream(path, std::ios::binary) << make();
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        Fail("cannot write " + path.string());
    }
}

struct TRun {
    long peakKb = 0;
    std::string line;  // what the import printed
};

// One import in a process of its own: the peak resident memory of that
// process alone, and its line.
TRun Import(const fs::path& binary, const fs::path& home, const fs::path& mail) {
    const fs::path out = home / "import.out";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> words = {binary.string(), "--home", home.string(), "--import", mail.string()};
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) Fail("cannot start diravid");
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid) Fail("wait4 failed");
    TRun run;
    run.peakKb = usage.ru_maxrss;
    std::ifstream in(out);
    std::getline(in, run.line);
    return run;
}

// Runs `sql` as the bench's database user; the first column of the first
// row, when there is one.
std::string Sql(kdv::TDbConnection& connection, const std::string& sql) {
    kdv::TDbQuery query(connection);
    query.SetSQL(sql);
    if (sql.rfind("SELECT", 0) != 0) {
        query.ExecSQL();
        return {};
    }
    query.Open();
    return query.Eof() ? std::string() : query.Fields(0).AsString();
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20;
    if (megabytes == 0 || megabytes > 30) Fail("MB must be 1 to 30 (the reader takes at most 32 MB of text)");
    const std::size_t bytes = megabytes * 1024 * 1024;
    const std::string host = RequiredEnv("DIRAVID_TEST_DB_HOST");
    const std::string port = RequiredEnv("DIRAVID_TEST_DB_PORT");
    const std::string user = RequiredEnv("DIRAVID_TEST_DB_USER");
    const std::string password = RequiredEnv("DIRAVID_TEST_DB_PASSWORD");
    const std::string script = RequiredEnv("DIRAVID_TEST_DB_SCRIPT");
    const std::string sandbox = RequiredEnv("DIRAVID_TEST_DB_SANDBOX");

    const fs::path work = fs::temp_directory_path() / ("kdv-import-bench-" + std::to_string(::getpid()));
    const fs::path home = work / "home";
    fs::create_directories(home / "Anlagen");
    const std::string fixture = "'" + script + "' fixture '" + sandbox + "' " + kDatabase + " --demo '" +
                                (home / "Anlagen").string() + "' >/dev/null";
    if (std::system(fixture.c_str()) != 0) Fail("cannot create the bench database: " + fixture);
    std::ofstream(home / "diravid.ini") << "[Database]\nDatabase=" << kDatabase << "\nHostname=" << host
                                        << "\nPort=" << port << "\nUser=" << user << "\nPasswort=" << password
                                        << "\n[Mail]\nNeuNachricht=0\nNeueMail=0\n";
    std::ofstream(home / "whitelist.txt") << "leitstelle@example.org\n";

    kdv::TDbConnection admin;
    for (const std::string& line : std::vector<std::string>{"DriverID=MySQL", "Server=" + host, "Port=" + port, "User_Name=" + user,
                                    "Password=" + password, std::string("Database=") + kDatabase}) {
        admin.Params.Add(line);
    }
    const std::string packetBefore = Sql(admin, "SELECT @@global.max_allowed_packet");
    Sql(admin, "SET GLOBAL max_allowed_packet=" + std::to_string(kBenchPacketBytes));
    Sql(admin, "ALTER TABLE LF_NACHRICHTEN MODIFY INHALT LONGTEXT NULL");

    const fs::path binary = fs::path(DIRAVID_BINARY);
    const fs::path small = work / "klein.eml";
    WriteMail(small, [] { return Header("text/plain; charset=utf-8", "") + "Pegel 4,20 m\r\n"; });
    const TRun baseline = Import(binary, home, small);
    std::printf("import_memory_bench: diravid --import, one process per mail\n");
    std::printf("  small mail: peak %.1f MB (%s)\n", baseline.peakKb / 1024.0, baseline.line.c_str());
    std::printf("  %-18s %9s %9s %11s %9s  %s\n", "shape", "mail MB", "peak MB", "above base", "target", "outcome");

    bool allMet = true;
    for (const TShape& shape : Shapes()) {
        const fs::path mail = work / "gross.eml";
        WriteMail(mail, [&] { return shape.make(bytes); });
        const std::size_t mailBytes = fs::file_size(mail);
        const TRun run = Import(binary, home, mail);
        const long targetKb = static_cast<long>(3 * mailBytes / 1024) + kSlackKb;
        const bool met = run.peakKb <= targetKb;
        allMet = allMet && met;
        const bool filed = run.line.find(": abgelegt in Lage") != std::string::npos;
        std::printf("  %-18s %9.1f %9.1f %11.1f %9.1f  %s%s\n", shape.name, mailBytes / 1048576.0,
                    run.peakKb / 1024.0, (run.peakKb - baseline.peakKb) / 1024.0, targetKb / 1024.0,
                    met ? "met" : "NOT MET", filed ? ", filed" : (", " + run.line).c_str());
        fs::remove(mail);
    }

    if (!packetBefore.empty()) Sql(admin, "SET GLOBAL max_allowed_packet=" + packetBefore);
    admin.Close();
    std::system(("'" + script + "' drop '" + sandbox + "' " + kDatabase + " >/dev/null").c_str());
    fs::remove_all(work);
    std::printf("  target: peak at most 3 x the mail's size + 16 MB: %s\n", allMet ? "met" : "NOT MET");
    return allMet ? 0 : 1;
}
