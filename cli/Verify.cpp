#include "Verify.h"

#include <strings.h>

#include "Digest.h"
#include "ravlin/Ravlin.h"

namespace ravlin::cli {
namespace {

struct Hashing {
    Digest md5{DigestKind::Md5};
    VerifyResult& result;
    std::atomic<uint64_t>& hashed;
    const std::atomic<bool>& stop;
};

bool TakePiece(unsigned long long, const unsigned char* data, size_t length, bool read,
               void* context) {
    auto& hashing = *static_cast<Hashing*>(context);
    hashing.md5.Update(data, length);
    if (!read) hashing.result.unreadableBytes += length;
    hashing.hashed += length;
    return !hashing.stop;
}

}  // namespace

bool VerifyResult::Matched() const {
    return complete && unreadableBytes == 0 && !computedMd5.empty() &&
           ::strcasecmp(computedMd5.c_str(), storedMd5.c_str()) == 0;
}

Verifier::Verifier(std::wstring devicePath, std::string storedMd5, uint64_t sizeBytes,
                   const std::atomic<bool>& stop)
    : sizeBytes_(sizeBytes), stop_(stop) {
    result_.storedMd5 = std::move(storedMd5);
    thread_ = std::thread([this, path = std::move(devicePath)] {
        Hashing hashing{.result = result_, .hashed = hashed_, .stop = stop_};
        result_.complete = ReadSourceMedia(path, TakePiece, &hashing);
        if (result_.complete) result_.computedMd5 = hashing.md5.Final();
        done_ = true;
    });
}

Verifier::~Verifier() {
    if (thread_.joinable()) thread_.join();
}

double Verifier::Fraction() const {
    return sizeBytes_ == 0 ? 1.0 : static_cast<double>(hashed_) / static_cast<double>(sizeBytes_);
}

const VerifyResult& Verifier::Wait() {
    if (thread_.joinable()) thread_.join();
    return result_;
}

std::string VerifyMessage(const VerifyResult& result) {
    if (!result.complete)
        return "the image's stored MD5 was not checked: its data could not be read to the end";
    if (result.Matched())
        return "the image's data matches its stored MD5 (" + result.computedMd5 + ")";
    if (result.unreadableBytes != 0)
        return "the image's data does NOT match its stored MD5: " +
               std::to_string(result.unreadableBytes) +
               " bytes could not be read (failed reads, or chunks whose checksums fail); with them "
               "as zeros it "
               "hashes to " +
               result.computedMd5 + ", stored " + result.storedMd5;
    return "the image's data does NOT match its stored MD5: stored " + result.storedMd5 +
           ", read " + result.computedMd5;
}

}  // namespace ravlin::cli
