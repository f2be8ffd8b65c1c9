#pragma once
// The parts of a message: text parts held in memory and attachments whose
// content lives in a file. Parts exist only inside a TMailMessageParts
// collection, which owns them; they are created through its Add functions.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "mail/mail_header_list.h"
#include "mail/mail_lines.h"
#include "platform/path_text.h"

namespace kdv {

class TMailMessageParts;

enum class TMailPartType { mptText, mptAttachment };

// Proof of being created by a collection: only TMailMessageParts can make
// one, so a part cannot exist outside a collection.
class TMailPartKey {
    friend class TMailMessageParts;
    TMailPartKey() = default;
};

class TMailMessagePart {
public:
    virtual ~TMailMessagePart();
    TMailMessagePart(const TMailMessagePart&) = delete;
    TMailMessagePart& operator=(const TMailMessagePart&) = delete;

    virtual TMailPartType PartType() const = 0;

    // The part's own header lines; the Content-* properties live here.
    TMailHeaderList Headers;
    // Written after the standard part headers.
    TMailHeaderList ExtraHeaders;
    std::string CharSet;
    std::string FileName;
    std::string Name;
    // Index in the collection of the enclosing multipart part; -1 for the top level.
    int ParentPart = -1;
    bool IsEncoded = false;

    // Content-Type without its charset and name parameters.
    std::string ContentType() const { return Headers.Values("Content-Type"); }
    // Stores the value without "charset" and "name"; a present charset
    // becomes CharSet, a present name becomes Name.
    void SetContentType(std::string_view value);
    std::string ContentTransfer() const { return Headers.Values("Content-Transfer-Encoding"); }
    void SetContentTransfer(std::string_view value) { Headers.SetValue("Content-Transfer-Encoding", value); }
    // Content-Disposition without its filename parameter.
    std::string ContentDisposition() const { return Headers.Values("Content-Disposition"); }
    // Stores the value without "filename"; a present filename, unquoted and
    // with its encoded words decoded, becomes FileName.
    void SetContentDisposition(std::string_view value);
    std::string ContentID() const { return Headers.Values("Content-ID"); }
    void SetContentID(std::string_view value) { Headers.SetValue("Content-ID", value); }
    std::string ContentDescription() const { return Headers.Values("Content-Description"); }
    void SetContentDescription(std::string_view value) { Headers.SetValue("Content-Description", value); }
    std::string ContentLocation() const { return Headers.Values("Content-Location"); }
    void SetContentLocation(std::string_view value) { Headers.SetValue("Content-Location", value); }

    // The collection that owns this part.
    TMailMessageParts& Collection() const { return *owner_; }

protected:
    TMailMessagePart(TMailPartKey, TMailMessageParts& owner) : owner_(&owner) {}

private:
    TMailMessageParts* owner_;
};

class TMailText : public TMailMessagePart {
public:
    TMailText(TMailPartKey key, TMailMessageParts& owner, TMailLines body = {});
    TMailPartType PartType() const override { return TMailPartType::mptText; }

    // Text lines; duplicates allowed.
    TMailLines Body;
};

// Block size for copying attachment content between streams and files.
inline constexpr std::size_t kAttachmentCopyBlock = 1024 * 1024;

class TMailAttachment : public TMailMessagePart {
public:
    TMailPartType PartType() const override { return TMailPartType::mptAttachment; }

    // Reading the content: the stream stays valid until CloseLoadStream.
    // Fails with EDiraError when the content cannot be opened.
    virtual std::istream& OpenLoadStream() = 0;
    virtual void CloseLoadStream() = 0;
    // Filling the content: the returned stream takes the (decoded) bytes
    // until FinishTempStream, which fails with EDiraError when a write failed.
    virtual std::ostream& PrepareTempStream() = 0;
    virtual void FinishTempStream() = 0;

    // Writes the content to `path` (overwriting); EDiraError on failure.
    virtual void SaveToFile(const std::filesystem::path& path);
    // Copies the content into `out`; EDiraError on failure.
    void SaveToStream(std::ostream& out);
    // Replaces the content by the file's bytes; EDiraError on failure.
    void LoadFromFile(const std::filesystem::path& path);
    // Replaces the content by the stream's remaining bytes (in blocks of
    // kAttachmentCopyBlock); EDiraError on failure.
    void LoadFromStream(std::istream& in);

    // Set when the content file vanished while being filled (removed by
    // another program, e.g. a virus scanner).
    bool AttachmentBlocked = false;

protected:
    using TMailMessagePart::TMailMessagePart;
};

class TMailAttachmentFile : public TMailAttachment {
public:
    // An attachment of an existing file: FileName is the path's file name and,
    // when that is not empty, ContentType follows from its extension. The file
    // is not opened before the content is read, and never deleted.
    TMailAttachmentFile(TMailPartKey key, TMailMessageParts& owner, const std::filesystem::path& path);
    // An attachment without content yet; PrepareTempStream creates its file.
    TMailAttachmentFile(TMailPartKey key, TMailMessageParts& owner);
    // Deletes the content file when FileIsTempFile.
    ~TMailAttachmentFile() override;

    std::istream& OpenLoadStream() override;
    void CloseLoadStream() override;
    // Creates a new, uniquely named ".tmp" file in the collection's
    // AttachmentTempDirectory (empty: the system's temporary folder), makes it
    // the stored path and sets FileIsTempFile. A temporary file made earlier
    // for this part is deleted first.
    std::ostream& PrepareTempStream() override;
    // Closes the file; a file that no longer exists marks AttachmentBlocked.
    void FinishTempStream() override;
    // Copies the stored file to `path` (overwriting).
    void SaveToFile(const std::filesystem::path& path) override;

    // Full path of the file that holds the content.
    const std::filesystem::path& StoredPathName() const { return storedPath_; }
    // True when the file was created for this part (it goes with the part).
    bool FileIsTempFile() const { return fileIsTempFile_; }

private:
    void DeleteTempFile() noexcept;

    std::filesystem::path storedPath_;
    bool fileIsTempFile_ = false;
    std::ifstream load_;
    std::ofstream temp_;
    std::unique_ptr<char[]> tempBuffer_;
};

class TMailMessageParts {
public:
    TMailMessageParts();
    ~TMailMessageParts();
    TMailMessageParts(const TMailMessageParts&) = delete;
    TMailMessageParts& operator=(const TMailMessageParts&) = delete;

    // Constructs a part of type T at the end: T(key, *this, args...).
    template <class T, class... Args>
    T& Add(Args&&... args) {
        static_assert(std::is_base_of_v<TMailMessagePart, T>, "parts derive from TMailMessagePart");
        auto part = std::make_unique<T>(TMailPartKey{}, *this, std::forward<Args>(args)...);
        T& added = *part;
        parts_.push_back(std::move(part));
        return added;
    }
    TMailText& AddText(TMailLines body = {}) { return Add<TMailText>(std::move(body)); }
    TMailAttachmentFile& AddAttachmentFile(const std::filesystem::path& path) {
        return Add<TMailAttachmentFile>(path);
    }
    // An attachment whose content is still to be written (PrepareTempStream).
    TMailAttachmentFile& AddTempAttachment() { return Add<TMailAttachmentFile>(); }

    std::size_t Count() const { return parts_.size(); }
    bool Empty() const { return parts_.empty(); }
    TMailMessagePart& operator[](std::size_t index) { return *parts_.at(index); }
    const TMailMessagePart& operator[](std::size_t index) const { return *parts_.at(index); }
    // Index of the part in this collection, or -1.
    int IndexOf(const TMailMessagePart& part) const;
    // Destroys part `index` (deleting its temporary file).
    void Delete(std::size_t index);
    // Destroys every part (deleting their temporary files).
    void Clear();

    // Recomputes the three counts below.
    void CountParts();
    int AttachmentCount = 0;
    int TextPartCount = 0;
    // Parts with a non-empty Content-ID.
    int RelatedPartCount = 0;

    // "MIME" or "UUE": the encoder family for attachments.
    std::string AttachmentEncoding = "MIME";
    // Where received attachments are stored; empty: the system's temporary folder.
    std::filesystem::path AttachmentTempDirectory;

private:
    std::vector<std::unique_ptr<TMailMessagePart>> parts_;
};

}  // namespace kdv
