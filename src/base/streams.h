// Byte streams: a growable memory stream and a file stream, both positioned.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to count bytes at the position and advances it; returns the number read.
    virtual std::int64_t Read(void* buffer, std::int64_t count) = 0;
    // Writes count bytes at the position and advances it; raises on failure.
    virtual void Write(const void* buffer, std::int64_t count) = 0;
    virtual std::int64_t Size() const = 0;
    virtual std::int64_t Position() const = 0;
    virtual void SetPosition(std::int64_t position) = 0;

    void WriteString(const std::string& text) { Write(text.data(), std::int64_t(text.size())); }
    // Copies count bytes (all from the position when count is 0) from source.
    void CopyFrom(TStream& source, std::int64_t count);
};

class TMemoryStream : public TStream {
public:
    std::int64_t Read(void* buffer, std::int64_t count) override;
    void Write(const void* buffer, std::int64_t count) override;
    std::int64_t Size() const override { return std::int64_t(data_.size() - head_); }
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override { position_ = position; }

    void Clear() {
        data_.clear();
        head_ = 0;
        position_ = 0;
    }
    // Drops the first count bytes; the position moves back with the data. Amortised
    // constant time, so that consuming a large buffer line by line stays linear.
    void Consume(std::int64_t count);
    const char* Data() const { return data_.data() + head_; }
    std::string ToString() const { return std::string(Data(), size_t(Size())); }
    void Swap(TMemoryStream& other) noexcept {
        data_.swap(other.data_);
        std::swap(head_, other.head_);
        std::swap(position_, other.position_);
    }

private:
    std::vector<char> data_;
    size_t head_ = 0; // bytes before head_ are consumed
    std::int64_t position_ = 0;
};

class TFileStream : public TStream {
public:
    enum Mode { OpenRead, OpenReadWrite, Create, OpenAppend };
    // Opens regular files only. Raises EFOpenError "Cannot open file x" or EFCreateError
    // "Cannot create file x"; a named pipe, socket or device raises the same class with
    // "x is not a regular file". Opening never blocks, whatever the name refers to.
    TFileStream(const std::string& name, Mode mode, unsigned permissions = 0644);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    std::int64_t Read(void* buffer, std::int64_t count) override;
    void Write(const void* buffer, std::int64_t count) override;
    std::int64_t Size() const override;
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override { position_ = position; }
    const std::string& FileName() const { return name_; }
    // Cuts the file to size bytes; raises EInOutError on failure.
    void Truncate(std::int64_t size);
    // The open file's descriptor, for calls that take the file itself (sendfile).
    int Handle() const { return fd_; }

private:
    std::string name_;
    int fd_ = -1;
    std::int64_t position_ = 0;
};

// "x is not a regular file": the refusal of a pipe, socket or device given as a file.
std::string NotRegularFileText(const std::string& name);

// Size of a file in bytes; -1 when it cannot be read.
std::int64_t FileSizeOf(const std::string& name);

} // namespace kestrel
