// The report's signature: SHA-1 of the report and the secret, in hexadecimal.
#include "vesk_sign.hpp"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "encoding.hpp"
#include "vesk_config.hpp"

namespace {

struct md_ctx_free {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

// Writes the 40 hex digits of SHA-1(data + secret) at out. False when the digest fails.
bool sha1_hex(const void *data, size_t len, const char *secret, uint8_t *out)
{
    std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(ctx.get(), data, len) != 1 || EVP_DigestUpdate(ctx.get(), secret, strlen(secret)) != 1 ||
        EVP_DigestFinal_ex(ctx.get(), md, &md_len) != 1 || md_len * 2 != VESK_SIGNATURE_LENGTH)
        return false;
    vesk_hex_encode(md, md_len, reinterpret_cast<char *>(out));
    return true;
}

} // namespace

uint32_t signature_length() { return config.secret[0] ? VESK_SIGNATURE_LENGTH : 0; }

int sign(void *msg, int len, uint8_t **msgSigned, uint32_t *lenSigned)
{
    *msgSigned = nullptr;
    *lenSigned = 0;
    if (len < 0) return -1;
    size_t n = static_cast<size_t>(len);
    uint32_t signature = signature_length();
    size_t total = n + signature;
    auto *packet = static_cast<uint8_t *>(malloc(total ? total : 1));
    if (!packet) return -1;
    memcpy(packet, msg, n);
    if (signature) {
        if (config.debug) printf("sign packet\n");
        if (!sha1_hex(msg, n, config.secret, packet + n)) {
            free(packet);
            return -1;
        }
    }
    *msgSigned = packet;
    *lenSigned = static_cast<uint32_t>(total);
    return 0;
}
