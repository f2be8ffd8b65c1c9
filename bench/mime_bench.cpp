// Reads generated mails through the in-memory road of the MIME reader, with
// every attachment decoded into its file, and the same mails with GMime 3
// doing the same work; prints throughput, peak memory and the ratios.
//
//   mime_bench [work folder]   (default: a fresh folder under /tmp, removed afterwards)
//
// Case (a): one 20 MB mail with a base64 PDF-like attachment.
// Case (b): 1,000 small multipart mails (text, HTML and a small attachment each).
// Every measurement runs in a forked child, so the peaks of the cases and of
// the two parsers never mix; each child reports its best of kRuns.
#include "bench_measure.h"
#include "mail/mail_message.h"
#include "mail/mime_reader.h"

#include <gmime/gmime.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using kdv::bench::CpuSeconds;
using kdv::bench::PeakRssKb;

namespace {

// Case (a) is a 20 MB mail; its attachment is sized so the whole mail is that big.
constexpr std::size_t kBigMailBytes = 20 * 1024 * 1024;
// Case (b): this many small mails.
constexpr int kSmallMails = 1000;
// Each child repeats its work and reports the fastest run, to damp noise.
constexpr int kRuns = 3;
// The memory target for case (a): this much above the baseline plus the raw mail.
constexpr long kPeakAllowanceKb = 16 * 1024;

// A small deterministic generator, so every run sees the same bytes.
struct TRandom {
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::uint64_t Next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
};

std::string Base64Lines(std::string_view data) {
    static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve(data.size() * 4 / 3 + data.size() / 57 * 2 + 8);
    for (std::size_t pos = 0; pos < data.size(); pos += 57) {
        const std::string_view line = data.substr(pos, 57);
        for (std::size_t i = 0; i < line.size(); i += 3) {
            const std::size_t n = std::min<std::size_t>(3, line.size() - i);
            unsigned v = 0;
            for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(line[i + k]) : 0u);
            out.push_back(alphabet[v >> 18 & 63]);
            out.push_back(alphabet[v >> 12 & 63]);
            out.push_back(n > 1 ? alphabet[v >> 6 & 63] : '=');
            out.push_back(n > 2 ? alphabet[v & 63] : '=');
        }
        out.append("\r\n");
    }
    return out;
}

// PDF-like content: text objects between compressed-looking binary streams.
std::string PdfLike(std::size_t size, TRandom& random) {
    std::string pdf = "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
    int object = 1;
    while (pdf.size() < size) {
        pdf += std::to_string(object++) + " 0 obj\n<< /Length 4096 /Filter /FlateDecode >>\nstream\n";
        for (int i = 0; i < 512; ++i) {
            const std::uint64_t v = random.Next();
            pdf.append(reinterpret_cast<const char*>(&v), sizeof v);
        }
        pdf += "\nendstream\nendobj\n";
    }
    pdf.resize(size - 6);
    pdf += "%%EOF\n";
    return pdf;
}

void WriteFile(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(2);
    }
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string data;
    in.seekg(0, std::ios::end);
    data.resize(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(data.data(), static_cast<std::streamsize>(data.size()));
    return data;
}

void GenerateBigMail(const fs::path& path) {
    TRandom random;
    const std::string head =
        "From: \"Leitstelle Nord\" <leitstelle@example.org>\r\n"
        "To: lage@example.org\r\n"
        "Subject: =?UTF-8?Q?Einsatzplan_f=C3=BCr_die_Lage?=\r\n"
        "Date: Tue, 1 Jul 2003 10:52:37 +0200\r\n"
        "Message-ID: <big@example.org>\r\n"
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"----=_Part_0_123456789.1700000000000\"\r\n"
        "\r\n"
        "This is a multi-part message in MIME format.\r\n"
        "------=_Part_0_123456789.1700000000000\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "Anbei der Einsatzplan f=C3=BCr die Lage.\r\n"
        "\r\n"
        "------=_Part_0_123456789.1700000000000\r\n"
        "Content-Type: application/pdf; name=\"einsatzplan.pdf\"\r\n"
        "Content-Transfer-Encoding: base64\r\n"
        "Content-Disposition: attachment; filename=\"einsatzplan.pdf\"\r\n"
        "\r\n";
    const std::string tail = "------=_Part_0_123456789.1700000000000--\r\n";
    // base64 with CR LF every 76 characters makes 78 bytes out of 57.
    const std::size_t payload = (kBigMailBytes - head.size() - tail.size()) / 78 * 57;
    std::ofstream out(path, std::ios::binary);
    out << head << Base64Lines(PdfLike(payload, random)) << tail;
}

void GenerateSmallMails(const fs::path& dir) {
    TRandom random;
    fs::create_directories(dir);
    for (int i = 0; i < kSmallMails; ++i) {
        const std::size_t attachment_size = 2048 + random.Next() % 6144;
        std::string attachment(attachment_size, '\0');
        for (auto& c : attachment) c = static_cast<char>(random.Next());
        std::ostringstream m;
        m << "From: \"Meier, Hans\" <hans.meier@example.org>\r\n"
          << "To: leitstelle@example.org, =?UTF-8?Q?J=C3=BCrgen_M=C3=BCller?= <jm@example.org>\r\n"
          << "Subject: =?UTF-8?Q?R=C3=BCckmeldung?= zur Lage #" << (1000 + i) << "\r\n"
          << "Date: Tue, 1 Jul 2003 10:52:37 +0200\r\n"
          << "Message-ID: <" << i << "@example.org>\r\n"
          << "MIME-Version: 1.0\r\n"
          << "Content-Type: multipart/mixed; boundary=\"mixed-" << i << "\"\r\n\r\n"
          << "--mixed-" << i << "\r\n"
          << "Content-Type: multipart/alternative; boundary=\"alt-" << i << "\"\r\n\r\n"
          << "--alt-" << i << "\r\n"
          << "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
        for (int k = 0; k < 20; ++k) m << "Zeile " << k << ": Die Stra=C3=9Fe ist ab 10 Uhr wieder befahrbar, Gr=C3=BC=C3=9Fe.\r\n";
        m << "\r\n--alt-" << i << "\r\n"
          << "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n<html><body>\r\n";
        for (int k = 0; k < 20; ++k) m << "<p>Zeile " << k << ": Die Stra=C3=9Fe ist ab 10 Uhr wieder befahrbar.</p>\r\n";
        m << "</body></html>\r\n\r\n--alt-" << i << "--\r\n\r\n"
          << "--mixed-" << i << "\r\n"
          << "Content-Type: application/octet-stream; name=\"anlage" << i << ".bin\"\r\n"
          << "Content-Transfer-Encoding: base64\r\n"
          << "Content-Disposition: attachment; filename=\"anlage" << i << ".bin\"\r\n\r\n"
          << Base64Lines(attachment) << "\r\n--mixed-" << i << "--\r\n";
        WriteFile(dir / ("mail" + std::to_string(i) + ".eml"), m.str());
    }
}

struct TResult {
    double seconds = 0;      // best run
    double cpu_seconds = 0;  // processor time per run, on average (waits for the disk excluded)
    long baseline_kb = 0;    // peak before the mails were loaded
    long peak_kb = 0;        // peak at the end
    std::size_t bytes = 0;   // raw bytes parsed per run
    std::size_t files = 0;   // attachment files written per run
};

// --- this project's reader ---------------------------------------------------

std::size_t ParseWithReader(const std::vector<std::string>& mails, const fs::path& out_dir) {
    kdv::TMailMessage message;
    message.MessageParts.AttachmentTempDirectory = out_dir;
    std::size_t files = 0;
    for (const std::string& mail : mails) {
        kdv::LoadMessageFromMemory(message, mail);
        for (std::size_t i = 0; i < message.MessageParts.Count(); ++i)
            if (message.MessageParts[i].PartType() == kdv::TMailPartType::mptAttachment) ++files;
    }
    message.Clear();
    return files;
}

// --- GMime, doing the same work ---------------------------------------------

struct TGMimeWork {
    fs::path out_dir;
    std::size_t files = 0;
    std::size_t text_bytes = 0;
};

void DecodeGMimePart(GMimeObject*, GMimeObject* object, gpointer data) {
    auto* work = static_cast<TGMimeWork*>(data);
    if (!GMIME_IS_PART(object)) return;
    GMimePart* part = GMIME_PART(object);
    if (GMIME_IS_TEXT_PART(object) && !g_mime_part_is_attachment(part)) {
        // Text parts end up as UTF-8 text in memory, as the reader keeps them.
        char* text = g_mime_text_part_get_text(GMIME_TEXT_PART(object));
        if (text != nullptr) work->text_bytes += std::strlen(text);
        g_free(text);
        return;
    }
    GMimeDataWrapper* content = g_mime_part_get_content(part);
    if (content == nullptr) return;
    const fs::path path = work->out_dir / ("gmime" + std::to_string(work->files++) + ".tmp");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) return;
    GMimeStream* out = g_mime_stream_fs_new(fd);
    g_mime_data_wrapper_write_to_stream(content, out);
    // No flush: on a file stream it syncs to disk, which the reader does not do either.
    g_object_unref(out);
}

std::size_t ParseWithGMime(const std::vector<std::string>& mails, const fs::path& out_dir) {
    std::size_t files = 0;
    for (const std::string& mail : mails) {
        TGMimeWork work{out_dir};
        GMimeStream* stream = g_mime_stream_mem_new_with_buffer(mail.data(), mail.size());
        GMimeParser* parser = g_mime_parser_new_with_stream(stream);
        GMimeMessage* message = g_mime_parser_construct_message(parser, nullptr);
        if (message != nullptr) {
            (void)g_mime_message_get_subject(message);
            (void)internet_address_list_to_string(g_mime_message_get_from(message), nullptr, FALSE);
            g_mime_message_foreach(message, DecodeGMimePart, &work);
            g_object_unref(message);
        }
        g_object_unref(parser);
        g_object_unref(stream);
        // The reader's files go when its message is cleared; these go here.
        for (std::size_t i = 0; i < work.files; ++i) fs::remove(out_dir / ("gmime" + std::to_string(i) + ".tmp"));
        files += work.files;
    }
    return files;
}

// Runs `parse` over the mails in a forked child and returns its figures.
TResult Measure(const std::vector<fs::path>& inputs, const fs::path& out_dir, bool gmime) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) std::exit(2);
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipe_fds[0]);
        TResult r;
        if (gmime) g_mime_init();
        r.baseline_kb = PeakRssKb();
        std::vector<std::string> mails;
        for (const auto& p : inputs) {
            mails.push_back(ReadFile(p));
            r.bytes += mails.back().size();
        }
        fs::create_directories(out_dir);
        r.seconds = 1e30;
        const double cpu_start = CpuSeconds();
        for (int run = 0; run < kRuns; ++run) {
            const auto start = std::chrono::steady_clock::now();
            r.files = gmime ? ParseWithGMime(mails, out_dir) : ParseWithReader(mails, out_dir);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            r.seconds = std::min(r.seconds, took.count());
        }
        r.cpu_seconds = (CpuSeconds() - cpu_start) / kRuns;
        r.peak_kb = PeakRssKb();
        if (write(pipe_fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(3);
        _exit(0);
    }
    close(pipe_fds[1]);
    TResult r;
    const bool got = read(pipe_fds[0], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    close(pipe_fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s child failed\n", gmime ? "GMime" : "reader");
        std::exit(2);
    }
    return r;
}

double MBps(const TResult& r) { return static_cast<double>(r.bytes) / (1024.0 * 1024.0) / r.seconds; }

bool Report(const char* title, const std::vector<fs::path>& inputs, const fs::path& work, bool check_memory) {
    const TResult ours = Measure(inputs, work / "out-reader", false);
    const TResult peer = Measure(inputs, work / "out-gmime", true);
    const double raw_mb = static_cast<double>(ours.bytes) / (1024.0 * 1024.0);
    const long above = ours.peak_kb - ours.baseline_kb;
    const long limit = kPeakAllowanceKb + static_cast<long>(ours.bytes / 1024);
    std::printf("%s: %.1f MB in %zu mail(s), %zu attachment file(s) per run\n", title, raw_mb, inputs.size(), ours.files);
    std::printf("  reader: %8.1f MB/s  %7.1f ms (cpu %6.1f ms)  peak %6.1f MB, %6.1f MB above baseline\n", MBps(ours),
                ours.seconds * 1000, ours.cpu_seconds * 1000, ours.peak_kb / 1024.0, above / 1024.0);
    std::printf("  GMime:  %8.1f MB/s  %7.1f ms (cpu %6.1f ms)  peak %6.1f MB, %6.1f MB above baseline\n", MBps(peer),
                peer.seconds * 1000, peer.cpu_seconds * 1000, peer.peak_kb / 1024.0,
                (peer.peak_kb - peer.baseline_kb) / 1024.0);
    const double ratio = MBps(ours) / MBps(peer);
    std::printf("  speed ratio reader/GMime: %.2f (target >= 1.00: %s)\n", ratio, ratio >= 1.0 ? "met" : "NOT MET");
    bool ok = ratio >= 1.0;
    if (check_memory) {
        std::printf("  peak above baseline %.1f MB, limit 16 MB + raw %.1f MB = %.1f MB: %s\n", above / 1024.0, raw_mb,
                    limit / 1024.0, above <= limit ? "met" : "NOT MET");
        ok = ok && above <= limit;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const bool own_dir = argc < 2;
    const fs::path work = own_dir ? fs::temp_directory_path() / ("diravid-mime-bench-" + std::to_string(getpid()))
                                  : fs::path(argv[1]);
    fs::create_directories(work);
    const fs::path big = work / "big.eml";
    const fs::path small_dir = work / "small";
    if (!fs::exists(big)) GenerateBigMail(big);
    if (!fs::exists(small_dir)) GenerateSmallMails(small_dir);
    std::vector<fs::path> small;
    for (int i = 0; i < kSmallMails; ++i) small.push_back(small_dir / ("mail" + std::to_string(i) + ".eml"));

    const bool a = Report("(a) one large mail with a base64 PDF", {big}, work, true);
    const bool b = Report("(b) small multipart mails", small, work, false);
    if (own_dir) fs::remove_all(work);
    std::printf("%s\n", a && b ? "all targets met" : "targets NOT met");
    return a && b ? 0 : 1;
}
