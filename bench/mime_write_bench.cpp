// Writes one message with a 20 MB attachment, as the dispatch builds it, to a
// null output and to a file, and the same message with GMime 3
// (g_mime_object_write_to_stream) in the same run; prints MB/s and the ratios.
//
//   mime_write_bench [work folder]   (default: a fresh folder under /tmp, removed afterwards)
//
// Both writers read the attachment from the same file and base64-encode it
// while writing; the runs alternate, and each side reports its best of kRuns.
// The writer's peak memory while writing is checked against a small limit.
#include "bench_measure.h"
#include "mail/byte_sink.h"
#include "mail/file_sink.h"
#include "mail/mail_message.h"
#include "mail/mime_writer.h"

#include <gmime/gmime.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

namespace fs = std::filesystem;
using kdv::bench::CpuSeconds;
using kdv::bench::PeakRssKb;

namespace {

constexpr std::size_t kAttachmentBytes = 20 * 1024 * 1024;
// Each side repeats its work and reports the fastest run, to damp noise.
constexpr int kRuns = 7;
// The target: this many times GMime's speed.
constexpr double kTargetRatio = 2.0;
// The writer's buffers (read block, output block, their encoded forms) fit in
// this; the attachment itself must never be held.
constexpr long kPeakAllowanceKb = 4 * 1024;

const char* const kText[] = {
    "In der Lage \"Hochwasser Nord\" wurde von Einsatzleitung (Meier) um 10.12.2026 14:05:09 folgender "
    "Eintrag hinzugefügt: ",
    "",
    "Pegelstand  -  Vorrang: SOFORT:",
    "",
    "Kommunikationsweg: Von: Leitstelle  An: Stab  Weg: Funk",
    "",
    "Der Pegel steigt weiter, Anbei der aktuelle Lageplan.",
};

// Incompressible content, like the PDFs and photos that get attached; made in
// small blocks so the peak memory of this process stays at its baseline.
void WriteAttachment(const fs::path& path) {
    std::ofstream out(path, std::ios::binary);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    std::string block(64 * 1024, '\0');
    for (std::size_t done = 0; done < kAttachmentBytes; done += block.size()) {
        for (std::size_t i = 0; i < block.size(); i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(block.data() + i, &state, 8);
        }
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), kAttachmentBytes - done)));
    }
}

// Counts what passes, so both sides can be checked to write a whole message.
class TCountingNullSink final : public kdv::TByteSink {
public:
    void Write(std::string_view bytes) override { count += bytes.size(); }
    std::size_t count = 0;
};

void FillMessage(kdv::TMailMessage& m, const fs::path& attachment) {
    m.From().Address = "diravid@example.org";
    m.ReplyTo.SetEMailAddresses("diravid@example.org");
    m.Recipients.SetEMailAddresses("leitstelle@example.org, stab@example.org");
    m.Subject = "Pegelstand Übersicht (#5)";
    m.MsgId = "<r4nd0m.42@example.org>";
    m.ExtraHeaders.SetValue("Auto-Submitted", "auto-generated");
    m.ExtraHeaders.SetValue("X-Loop", "diravid@example.org");
    m.SetEncoding(kdv::TMailEncoding::meMIME);
    m.MessageParts.AddText(std::vector<std::string>(std::begin(kText), std::end(kText)))
        .SetContentType("text/plain; charset=iso-8859-1");
    m.MessageParts.AddAttachmentFile(attachment);
}

std::size_t WriteOursToNull(const fs::path& attachment) {
    kdv::TMailMessage message;
    FillMessage(message, attachment);
    TCountingNullSink sink;
    kdv::TMailMessageWriter writer(sink, true);
    writer.SendMsg(message);
    return sink.count;
}

std::size_t WriteOursToFile(const fs::path& attachment, const fs::path& out) {
    kdv::TMailMessage message;
    FillMessage(message, attachment);
    kdv::TFileSink sink(out);
    kdv::TMailMessageWriter writer(sink, false);
    writer.SendMsg(message);
    sink.Close();
    return static_cast<std::size_t>(fs::file_size(out));
}

// --- GMime, writing the same message ------------------------------------------

GMimeMessage* BuildGMimeMessage(const fs::path& attachment) {
    GMimeMessage* message = g_mime_message_new(TRUE);
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_FROM, "diravid@example.org", "diravid@example.org");
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_REPLY_TO, nullptr, "diravid@example.org");
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, nullptr, "leitstelle@example.org");
    g_mime_message_add_mailbox(message, GMIME_ADDRESS_TYPE_TO, nullptr, "stab@example.org");
    g_mime_message_set_subject(message, "Pegelstand Übersicht (#5)", "utf-8");
    g_mime_message_set_message_id(message, "r4nd0m.42@example.org");
    GDateTime* now = g_date_time_new_now_local();
    g_mime_message_set_date(message, now);
    g_date_time_unref(now);
    g_mime_object_set_header(GMIME_OBJECT(message), "Auto-Submitted", "auto-generated", nullptr);
    g_mime_object_set_header(GMIME_OBJECT(message), "X-Loop", "diravid@example.org", nullptr);

    GMimeMultipart* mixed = g_mime_multipart_new_with_subtype("mixed");
    GMimeTextPart* text = g_mime_text_part_new_with_subtype("plain");
    std::string body;
    for (const char* line : kText) (body += line) += "\n";
    g_mime_text_part_set_text(text, body.c_str());
    g_mime_part_set_content_encoding(GMIME_PART(text), GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE);
    g_mime_multipart_add(mixed, GMIME_OBJECT(text));
    g_object_unref(text);

    GMimePart* file = g_mime_part_new_with_type("application", "octet-stream");
    const int fd = open(attachment.c_str(), O_RDONLY);
    if (fd < 0) std::exit(2);
    GMimeStream* stream = g_mime_stream_fs_new(fd);
    GMimeDataWrapper* content = g_mime_data_wrapper_new_with_stream(stream, GMIME_CONTENT_ENCODING_DEFAULT);
    g_mime_part_set_content(file, content);
    g_object_unref(content);
    g_object_unref(stream);
    g_mime_part_set_filename(file, "lageplan.bin");
    g_mime_part_set_content_encoding(file, GMIME_CONTENT_ENCODING_BASE64);
    g_mime_multipart_add(mixed, GMIME_OBJECT(file));
    g_object_unref(file);

    g_mime_message_set_mime_part(message, GMIME_OBJECT(mixed));
    g_object_unref(mixed);
    return message;
}

// crlf: lines end with CR LF as on the wire (what our writer produces);
// otherwise GMime's default, LF only, which is less to write.
bool WriteGMime(const fs::path& attachment, GMimeStream* out, bool crlf) {
    GMimeMessage* message = BuildGMimeMessage(attachment);
    GMimeFormatOptions* options = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(options, crlf ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX);
    const ssize_t written = g_mime_object_write_to_stream(GMIME_OBJECT(message), options, out);
    g_mime_format_options_free(options);
    g_object_unref(message);
    return written > 0;
}

std::size_t WriteGMimeToNull(const fs::path& attachment, bool crlf) {
    GMimeStream* out = g_mime_stream_null_new();
    const bool ok = WriteGMime(attachment, out, crlf);
    g_object_unref(out);
    // The null stream keeps no count to compare; the file case checks the size.
    return ok ? kAttachmentBytes + 1 : 0;
}

std::size_t WriteGMimeToFile(const fs::path& attachment, const fs::path& path, bool crlf) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) std::exit(2);
    // No flush: on a file stream it syncs to disk, which the file sink does not do either.
    GMimeStream* out = g_mime_stream_fs_new(fd);
    const bool ok = WriteGMime(attachment, out, crlf);
    g_object_unref(out);
    return ok ? static_cast<std::size_t>(fs::file_size(path)) : 0;
}

struct TBest {
    double seconds = 1e30;
    double cpu = 1e30;
    std::size_t bytes = 0;
};

void RunOnce(TBest& best, const std::function<std::size_t()>& write) {
    const double cpu = CpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    best.bytes = write();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best.seconds = std::min(best.seconds, took.count());
    best.cpu = std::min(best.cpu, CpuSeconds() - cpu);
}

double MBps(std::size_t bytes, double seconds) { return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds; }

// Runs the three writers in turn kRuns times; the target is met against the
// faster of GMime's two line-end forms.
bool Report(const char* title, bool sizes, const std::function<std::size_t()>& ours,
            const std::function<std::size_t(bool crlf)>& gmime) {
    TBest a;
    TBest crlf;
    TBest lf;
    for (int run = 0; run < kRuns; ++run) {
        RunOnce(a, ours);
        RunOnce(crlf, [&] { return gmime(true); });
        RunOnce(lf, [&] { return gmime(false); });
    }
    std::printf("%s\n", title);
    if (sizes) {
        std::printf("  message size: writer %.2f MB, GMime CR LF %.2f MB, GMime LF %.2f MB\n", a.bytes / 1048576.0,
                    crlf.bytes / 1048576.0, lf.bytes / 1048576.0);
    }
    // Speed as attachment megabytes per second: the same work on every side.
    const auto line = [](const char* name, const TBest& r) {
        std::printf("  %-13s %8.1f MB/s  %7.1f ms (cpu %6.1f ms)\n", name, MBps(kAttachmentBytes, r.seconds),
                    r.seconds * 1000, r.cpu * 1000);
    };
    line("writer:", a);
    line("GMime CR LF:", crlf);
    line("GMime LF:", lf);
    const double ratio = std::min(crlf.seconds, lf.seconds) / a.seconds;
    const bool complete = a.bytes > kAttachmentBytes && crlf.bytes > kAttachmentBytes && lf.bytes > kAttachmentBytes;
    const bool met = ratio >= kTargetRatio && complete;
    std::printf("  speed ratio writer/GMime (faster form): %.2f (target >= %.2f: %s)\n", ratio, kTargetRatio,
                met ? "met" : "NOT MET");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    const bool own_dir = argc < 2;
    const fs::path work = own_dir ? fs::temp_directory_path() / ("diravid-write-bench-" + std::to_string(getpid()))
                                  : fs::path(argv[1]);
    fs::create_directories(work);
    const fs::path attachment = work / "lageplan.bin";
    if (!fs::exists(attachment) || fs::file_size(attachment) != kAttachmentBytes) WriteAttachment(attachment);
    // Before anything else raises the peak: the writer streams, so its peak
    // must stay far below the attachment's size.
    const long baseline_kb = PeakRssKb();
    WriteOursToNull(attachment);
    const long above_kb = PeakRssKb() - baseline_kb;
    const bool memory_ok = above_kb <= kPeakAllowanceKb;
    std::printf("writer peak memory above baseline: %.1f MB (limit %.1f MB: %s)\n", above_kb / 1024.0,
                kPeakAllowanceKb / 1024.0, memory_ok ? "met" : "NOT MET");
    g_mime_init();

    const bool null_ok = Report(
        "(a) one message with a 20 MB attachment to a null output", false,
        [&] { return WriteOursToNull(attachment); }, [&](bool crlf) { return WriteGMimeToNull(attachment, crlf); });
    const bool file_ok = Report(
        "(b) one message with a 20 MB attachment to a file", true,
        [&] { return WriteOursToFile(attachment, work / "ours.eml"); },
        [&](bool crlf) { return WriteGMimeToFile(attachment, work / "gmime.eml", crlf); });

    g_mime_shutdown();
    if (own_dir) fs::remove_all(work);
    const bool ok = memory_ok && null_ok && file_ok;
    std::printf("%s\n", ok ? "all targets met" : "targets NOT met");
    return ok ? 0 : 1;
}
