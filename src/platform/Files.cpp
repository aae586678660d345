// Folders and whole files on the host file system.
#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/Text.h"

namespace ravlin::platform {
namespace {

constexpr size_t kBufferBytes = 1 << 20;
std::atomic<void (*)(const std::string&)> beforeRename{nullptr};

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t done = ::write(fd, p, n);
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) return false;
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool CreateDirectory(const std::wstring& path) {
    std::string p = WideToUtf8(path);
    if (::mkdir(p.c_str(), 0777) == 0) return true;
    struct stat st;
    return errno == EEXIST && ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

ReplacingFile::~ReplacingFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(temp_.c_str());
    }
}

void ReplacingFile::SetBeforeRenameHookForTesting(void (*hook)(const std::string&)) { beforeRename.store(hook); }

bool ReplacingFile::Open(const std::wstring& path) {
    if (fd_ >= 0) return false;
    path_ = WideToUtf8(path);
    temp_ = path_ + ".XXXXXX";
    fd_ = ::mkostemp(temp_.data(), O_CLOEXEC);
    ok_ = fd_ >= 0;
    if (ok_) {
        ::fchmod(fd_, 0644);
        buffer_.reserve(kBufferBytes);
    }
    return ok_;
}

bool ReplacingFile::Flush() {
    if (ok_ && !buffer_.empty()) ok_ = WriteAll(fd_, buffer_.data(), buffer_.size());
    buffer_.clear();
    return ok_;
}

bool ReplacingFile::Write(const void* data, size_t size) {
    if (!ok_) return false;
    if (buffer_.size() + size > kBufferBytes && !Flush()) return false;
    if (size >= kBufferBytes) return ok_ = WriteAll(fd_, static_cast<const char*>(data), size);
    buffer_.append(static_cast<const char*>(data), size);
    return true;
}

bool ReplacingFile::Commit() {
    if (fd_ < 0) return false;
    bool ok = Flush() && ::fsync(fd_) == 0;
    ::close(fd_);
    fd_ = -1;
    if (ok) {
        if (auto hook = beforeRename.load()) hook(temp_);
        ok = ::rename(temp_.c_str(), path_.c_str()) == 0;
    }
    if (!ok) {
        ::unlink(temp_.c_str());
        return false;
    }
    // The rename itself reaches the disk with the folder.
    int dir = ::open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InputFile::Open(const std::wstring& path) {
    if (fd_ >= 0) return false;
    fd_ = ::open(WideToUtf8(path).c_str(), O_RDONLY | O_CLOEXEC);
    missing_ = fd_ < 0 && errno == ENOENT;
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        failed_ = true;
        return false;
    }
    size_ = static_cast<uint64_t>(st.st_size);
    return true;
}

bool InputFile::Fill() {
    buffer_.resize(kBufferBytes);
    bufferAt_ = 0;
    for (;;) {
        ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            buffer_.clear();
            return false;
        }
        buffer_.resize(static_cast<size_t>(got));
        return true;
    }
}

bool InputFile::Read(void* data, size_t size) {
    if (failed_ || fd_ < 0 || size > Remaining()) {
        failed_ = true;
        return false;
    }
    char* out = static_cast<char*>(data);
    while (size > 0) {
        if (bufferAt_ == buffer_.size() && !Fill()) {
            failed_ = true;
            return false;
        }
        size_t n = std::min(size, buffer_.size() - bufferAt_);
        std::memcpy(out, buffer_.data() + bufferAt_, n);
        bufferAt_ += n;
        out += n;
        size -= n;
        position_ += n;
    }
    return true;
}

bool InputFile::Skip(uint64_t size) {
    char scratch[4096];
    while (size > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(size, sizeof scratch));
        if (!Read(scratch, n)) return false;
        size -= n;
    }
    return true;
}

}  // namespace ravlin::platform
