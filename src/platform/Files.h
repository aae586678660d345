// Folders and whole files on the host file system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ravlin::platform {

// Creates one folder; true when it exists afterwards.
bool CreateDirectory(const std::wstring& path);

// Writes a file that replaces `path` only when every byte reached the disk: the bytes go to a
// temporary file beside it, which Commit flushes and renames over `path`. Until then, and when
// anything fails, the old file stays as it was; the temporary file is removed on destruction.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool Open(const std::wstring& path);
    // Buffered; false once any write failed.
    bool Write(const void* data, size_t size);
    bool Commit();

    // Tests stop a save between the write and the rename: called with the temporary file's
    // path just before it is renamed.
    static void SetBeforeRenameHookForTesting(void (*hook)(const std::string& tempPath));

private:
    bool Flush();

    int fd_ = -1;
    bool ok_ = false;
    std::string path_, temp_;
    std::string buffer_;
};

// Reads a file front to back with a known size, so callers can check a count against the bytes
// that are left before they allocate for it.
class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Open(const std::wstring& path);
    // After a failed Open: whether the file does not exist.
    bool Missing() const { return missing_; }
    // All `size` bytes, or false (and nothing more is read after a failure).
    bool Read(void* data, size_t size);
    bool Skip(uint64_t size);
    uint64_t Remaining() const { return size_ - position_; }

private:
    bool Fill();

    int fd_ = -1;
    uint64_t size_ = 0, position_ = 0;
    std::string buffer_;
    size_t bufferAt_ = 0;
    bool failed_ = false;
    bool missing_ = false;
};

}  // namespace ravlin::platform
