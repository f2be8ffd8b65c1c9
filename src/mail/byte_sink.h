#pragma once
// Where decoded bytes go: a text part's buffer in memory or an attachment's
// file on disk. Decoders write through this so they never care which.
#include <string>
#include <string_view>

namespace kdv {

class TByteSink {
public:
    virtual ~TByteSink() = default;
    // Appends the bytes; a sink backed by a file raises EDiraError when it cannot write.
    virtual void Write(std::string_view bytes) = 0;
};

// Collects everything in one string (text parts are held in memory anyway).
class TStringSink final : public TByteSink {
public:
    explicit TStringSink(std::string& target) : target_(target) {}
    void Write(std::string_view bytes) override { target_.append(bytes); }

private:
    std::string& target_;
};

// Drops everything; used where content must be consumed but is not kept.
class TNullSink final : public TByteSink {
public:
    void Write(std::string_view) override {}
};

}  // namespace kdv
