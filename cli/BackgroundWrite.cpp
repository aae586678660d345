#include "BackgroundWrite.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ravlin::cli {
namespace {

constexpr size_t kBufferBytes = size_t{512} << 10;

}  // namespace

BackgroundFileBuf::~BackgroundFileBuf() { Close(); }

bool BackgroundFileBuf::Open(const std::string& path) {
    if (fd_ >= 0) return false;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd_ < 0) return false;
    filling_.resize(kBufferBytes);
    writing_.resize(kBufferBytes);
    setp(filling_.data(), filling_.data() + filling_.size());
    stop_ = failed_ = false;
    pending_ = 0;
    writer_ = std::thread(&BackgroundFileBuf::WriterLoop, this);
    return true;
}

void BackgroundFileBuf::WaitIdle() {
    std::unique_lock<std::mutex> guard(lock_);
    wake_.wait(guard, [&] { return pending_ == 0; });
}

void BackgroundFileBuf::HandOver() {
    const size_t filled = static_cast<size_t>(pptr() - pbase());
    if (filled == 0) return;
    WaitIdle();
    {
        std::lock_guard<std::mutex> guard(lock_);
        filling_.swap(writing_);
        pending_ = filled;
    }
    wake_.notify_all();
    setp(filling_.data(), filling_.data() + filling_.size());
}

void BackgroundFileBuf::WriterLoop() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        wake_.wait(guard, [&] { return pending_ != 0 || stop_; });
        if (pending_ == 0) return;
        const char* data = writing_.data();
        size_t left = pending_;
        bool failed = failed_;
        guard.unlock();
        // After a failure the bytes are dropped: the file is reported as failed when closed.
        while (left != 0 && !failed) {
            ssize_t n = ::write(fd_, data, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failed = true;
                break;
            }
            data += n;
            left -= static_cast<size_t>(n);
        }
        guard.lock();
        failed_ = failed;
        pending_ = 0;
        wake_.notify_all();
    }
}

BackgroundFileBuf::int_type BackgroundFileBuf::overflow(int_type c) {
    if (fd_ < 0) return traits_type::eof();
    HandOver();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int BackgroundFileBuf::sync() {
    if (fd_ < 0) return -1;
    HandOver();
    WaitIdle();
    std::lock_guard<std::mutex> guard(lock_);
    return failed_ ? -1 : 0;
}

bool BackgroundFileBuf::Close() {
    if (fd_ < 0) return false;
    bool ok = sync() == 0;
    {
        std::lock_guard<std::mutex> guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    writer_.join();
    ok = ::close(fd_) == 0 && ok;
    fd_ = -1;
    setp(nullptr, nullptr);
    return ok;
}

}  // namespace ravlin::cli
