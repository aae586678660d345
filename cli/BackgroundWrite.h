// An output file whose bytes are written by a thread of its own, half a megabyte at a time,
// while the caller goes on making the next half.
#pragma once

#include <condition_variable>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace ravlin::cli {

class BackgroundFileBuf final : public std::streambuf {
public:
    BackgroundFileBuf() = default;
    ~BackgroundFileBuf() override;
    BackgroundFileBuf(const BackgroundFileBuf&) = delete;
    BackgroundFileBuf& operator=(const BackgroundFileBuf&) = delete;

    // Creates or empties the file; false (with errno set) when it cannot.
    bool Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    // Writes what is left and closes the file; false when any write or the close failed.
    bool Close();

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    void HandOver();  // gives the filled buffer to the writing thread
    void WaitIdle();
    void WriterLoop();

    int fd_ = -1;
    std::vector<char> filling_, writing_;
    size_t pending_ = 0;  // bytes of writing_ still to write
    bool stop_ = false;
    bool failed_ = false;
    std::mutex lock_;
    std::condition_variable wake_;
    std::thread writer_;
};

// A std::ostream over a BackgroundFileBuf.
class BackgroundFile final : public std::ostream {
public:
    BackgroundFile() : std::ostream(&buffer_) {}
    bool Open(const std::string& path) { return buffer_.Open(path); }
    bool IsOpen() const { return buffer_.IsOpen(); }
    // Flushes, writes what is left and closes; false when anything failed on the way.
    bool Close() {
        flush();
        const bool ok = static_cast<bool>(*this);
        return buffer_.Close() && ok;
    }

private:
    BackgroundFileBuf buffer_;
};

}  // namespace ravlin::cli
