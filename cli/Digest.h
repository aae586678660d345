// Message digests (MD5, SHA-256) as lowercase hex, through OpenSSL.
#pragma once

#include <openssl/evp.h>

#include <memory>
#include <string>

namespace ravlin::cli {

class Digest {
public:
    explicit Digest(const EVP_MD* md) : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
        if (context_) EVP_DigestInit_ex(context_.get(), md, nullptr);
    }
    void Update(const void* data, size_t length) {
        if (context_) EVP_DigestUpdate(context_.get(), data, length);
    }
    // The digest in hex; empty when OpenSSL failed.
    std::string Final() {
        static const char digits[] = "0123456789abcdef";
        unsigned char out[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (!context_ || EVP_DigestFinal_ex(context_.get(), out, &length) != 1) return {};
        std::string hex;
        for (unsigned int i = 0; i < length; ++i)
            hex += {digits[out[i] >> 4], digits[out[i] & 15]};
        return hex;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context_;
};

}  // namespace ravlin::cli
