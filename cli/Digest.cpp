#include "Digest.h"

#include <dlfcn.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace ravlin::cli {
namespace {

// The few libcrypto functions the host calls, bound once.
struct Crypto {
    decltype(&EVP_MD_CTX_new) contextNew = nullptr;
    decltype(&EVP_MD_CTX_free) contextFree = nullptr;
    decltype(&EVP_DigestInit_ex) init = nullptr;
    decltype(&EVP_DigestUpdate) update = nullptr;
    decltype(&EVP_DigestFinal_ex) final = nullptr;
    decltype(&EVP_md5) md5 = nullptr;
    decltype(&EVP_sha256) sha256 = nullptr;
    decltype(&OpenSSL_version) version = nullptr;
    bool loaded = false;
};

template <class F>
bool Bind(void* library, const char* name, F& out) {
    out = reinterpret_cast<F>(::dlsym(library, name));
    return out != nullptr;
}

const Crypto& Library() {
    static const Crypto crypto = [] {
        Crypto c;
        void* library = ::dlopen(RAVLIN_CRYPTO_LIBRARY, RTLD_NOW | RTLD_LOCAL);  // kept for the process
        c.loaded = library && Bind(library, "EVP_MD_CTX_new", c.contextNew) &&
                   Bind(library, "EVP_MD_CTX_free", c.contextFree) && Bind(library, "EVP_DigestInit_ex", c.init) &&
                   Bind(library, "EVP_DigestUpdate", c.update) && Bind(library, "EVP_DigestFinal_ex", c.final) &&
                   Bind(library, "EVP_md5", c.md5) && Bind(library, "EVP_sha256", c.sha256) &&
                   Bind(library, "OpenSSL_version", c.version);
        return c;
    }();
    return crypto;
}

}  // namespace

Digest::Digest(DigestKind kind) {
    const Crypto& c = Library();
    if (!c.loaded) return;
    EVP_MD_CTX* context = c.contextNew();
    if (context && c.init(context, kind == DigestKind::Md5 ? c.md5() : c.sha256(), nullptr) != 1) {
        c.contextFree(context);
        context = nullptr;
    }
    context_ = context;
}

Digest::~Digest() {
    if (context_) Library().contextFree(static_cast<EVP_MD_CTX*>(context_));
}

void Digest::Update(const void* data, size_t length) {
    if (context_ && Library().update(static_cast<EVP_MD_CTX*>(context_), data, length) != 1) {
        Library().contextFree(static_cast<EVP_MD_CTX*>(context_));
        context_ = nullptr;  // a digest that missed data is no digest
    }
}

std::string Digest::Final() {
    static const char digits[] = "0123456789abcdef";
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!context_ || Library().final(static_cast<EVP_MD_CTX*>(context_), out, &length) != 1) return {};
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) hex += {digits[out[i] >> 4], digits[out[i] & 15]};
    return hex;
}

std::string CryptoVersion() {
    const Crypto& c = Library();
    return c.loaded ? c.version(OPENSSL_VERSION) : std::string(RAVLIN_CRYPTO_LIBRARY) + " not found: no digests";
}

}  // namespace ravlin::cli
