// Checks an evidence image's stored MD5 against its media, on a thread of its own, while the
// scan runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace ravlin::cli {

struct VerifyResult {
    std::string storedMd5;
    std::string computedMd5;  // of the media as read, zeros for what could not be read
    uint64_t unreadableBytes = 0;
    bool complete = false;  // the media was read to its end
    bool Matched() const;   // complete, all read, and the digests equal
};

class Verifier {
public:
    // Starts reading the media of `devicePath` (`sizeBytes` long) at once. `stop` is polled
    // between pieces.
    Verifier(std::wstring devicePath, std::string storedMd5, uint64_t sizeBytes,
             const std::atomic<bool>& stop);
    ~Verifier();
    Verifier(const Verifier&) = delete;
    Verifier& operator=(const Verifier&) = delete;

    double Fraction() const;  // of the media hashed so far
    bool Done() const { return done_; }
    // Waits for the end and gives the outcome.
    const VerifyResult& Wait();

private:
    VerifyResult result_;
    uint64_t sizeBytes_;
    const std::atomic<bool>& stop_;
    std::atomic<uint64_t> hashed_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// "the image's stored MD5 matches its data (…)" or the mismatch with both digests.
std::string VerifyMessage(const VerifyResult& result);

}  // namespace ravlin::cli
