// Identity of a text that ignores surrounding white space and letter case.

// The one-shot SHA-256 functions work on a context on the stack; the EVP
// interface would look the algorithm up in the provider store on every call,
// which costs more than hashing a short text.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "similarity/similarity.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace orvel::similarity {

namespace {


// The canonical form is never built as a whole: it is lower-cased block by
// block into a buffer on the stack, and each block goes into the digest.
// ASCII text takes a plain byte loop that the compiler vectorises.
void sha256_of_ascii_lower(std::string_view s, unsigned char* digest) {
    SHA256_CTX context;
    SHA256_Init(&context);
    char block[16384];
    for (std::size_t at = 0; at < s.size(); at += sizeof block) {
        const std::size_t n = std::min(sizeof block, s.size() - at);
        text::lower_ascii_copy(block, s.data() + at, n);
        SHA256_Update(&context, block, n);
    }
    SHA256_Final(digest, &context);
}

void sha256_of_lower(std::string_view s, unsigned char* digest) {
    SHA256_CTX context;
    SHA256_Init(&context);
    char block[16384];
    for (std::size_t pos = 0; pos < s.size();) {
        const char* end = text::lower_into(s, pos, block, block + sizeof block);
        SHA256_Update(&context, block, static_cast<std::size_t>(end - block));
    }
    SHA256_Final(digest, &context);
}

}  // namespace

std::string canonical_hash(std::string_view content) {
    // Trim before lower-casing so that the final-sigma rule sees the trimmed text.
    const std::string_view trimmed = text::trim_white_space(content);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    if (text::is_ascii(trimmed))
        sha256_of_ascii_lower(trimmed, digest);
    else
        sha256_of_lower(trimmed, digest);

    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string hex(16, '0');
    for (int i = 0; i < 8; ++i) {
        hex[2 * i] = kHexDigits[digest[i] >> 4];
        hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace orvel::similarity
