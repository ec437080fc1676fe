// MD5 digests of whole files, through OpenSSL's EVP digest interface.
#include <openssl/evp.h>

#include <cstdio>

#include "progress/progress.h"
#include "stream/stream.h"

Md5Digest md5OfFile(const std::string& path) {
    Md5Digest digest{};
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return digest;
    ProgressStep step("digest", readingOf(path));
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
    unsigned char buffer[4096];
    for (;;) {
        size_t got = fread(buffer, 1, sizeof buffer, f);
        if (got == 0) break;
        EVP_DigestUpdate(ctx, buffer, got);
        if (got != sizeof buffer) break;
    }
    fclose(f);
    unsigned int length = 0;
    EVP_DigestFinal_ex(ctx, digest.data(), &length);
    EVP_MD_CTX_free(ctx);
    return digest;
}

bool md5Matches(const Md5Digest& stored, const std::string& path) {
    if (!fileExists(path)) return false;
    return md5OfFile(path) == stored;
}
