// Identity of a text that ignores surrounding white space and letter case.

#include <openssl/evp.h>

#include <stdexcept>

#include "similarity/similarity.h"
#include "text/unicode.h"

namespace orvel::similarity {

std::string canonical_hash(std::string_view content) {
    // Trim before lower-casing so that the final-sigma rule sees the trimmed text.
    std::string canonical = text::to_lower(text::trim_white_space(content));

    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digest_length = 0;
    if (EVP_Digest(canonical.data(), canonical.size(), digest, &digest_length, EVP_sha256(), nullptr) != 1 ||
        digest_length != 32)
        throw std::runtime_error("SHA-256 digest failed");

    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::string hex(16, '0');
    for (int i = 0; i < 8; ++i) {
        hex[2 * i] = kHexDigits[digest[i] >> 4];
        hex[2 * i + 1] = kHexDigits[digest[i] & 0x0F];
    }
    return hex;
}

}  // namespace orvel::similarity
