// Message digests (MD5, SHA-256) as lowercase hex, through OpenSSL's libcrypto, which is loaded
// the first time a digest is made: a scan that hashes nothing does not pay for loading it.
#pragma once

#include <cstddef>
#include <string>

namespace ravlin::cli {

enum class DigestKind { Md5, Sha256 };

class Digest {
public:
    explicit Digest(DigestKind kind);
    ~Digest();
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void Update(const void* data, size_t length);
    // The digest in hex; empty when libcrypto could not be loaded or failed.
    std::string Final();

private:
    void* context_ = nullptr;
};

// libcrypto's version text, or why it is not there.
std::string CryptoVersion();

}  // namespace ravlin::cli
