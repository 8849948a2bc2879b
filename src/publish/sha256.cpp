#include "publish/sha256.h"

#include "base/exception.h"
#include "base/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <unistd.h>

namespace kestrel {
namespace {

struct DigestDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

Digest NewDigest() {
    Digest context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        throw Exception("SHA-256 is not available");
    return context;
}

std::string FinishHex(EVP_MD_CTX* context) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        throw Exception("SHA-256 is not available");
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 15];
    }
    return text;
}

} // namespace

std::string FileSha256(const std::string& path) {
    Digest context = NewDigest();
    ReadChunks(path, [&](const char* data, std::size_t size) {
        EVP_DigestUpdate(context.get(), data, size);
    });
    return FinishHex(context.get());
}

std::string BytesSha256(const std::string& bytes) {
    Digest context = NewDigest();
    EVP_DigestUpdate(context.get(), bytes.data(), bytes.size());
    return FinishHex(context.get());
}

} // namespace kestrel
