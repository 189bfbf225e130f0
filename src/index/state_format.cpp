#include "index/state_format.h"

// SHA256_Init and friends, not the one-shot SHA256(), which goes through the
// EVP provider machinery and would link all of it into the module.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "text/utf8.h"

namespace orvel::index {

namespace {

constexpr char kStateMagic[8] = {'O', 'R', 'V', 'E', 'L', 'I', 'D', 'X'};
constexpr std::uint32_t kStateVersion = 1;
constexpr std::size_t kHeaderSize = sizeof kStateMagic + sizeof kStateVersion;
constexpr std::size_t kDigestSize = SHA256_DIGEST_LENGTH;

template <class Number>
void put(std::string& out, Number v) {
    for (std::size_t i = 0; i < sizeof v; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

template <class Number>
Number get(const char* at) {
    Number v = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) v |= Number{static_cast<unsigned char>(at[i])} << (8 * i);
    return v;
}

// Reads numbers and texts off a state's body, never past its end.
struct BodyReader {
    std::string_view bytes;
    std::size_t at = 0;

    template <class Number>
    bool number(Number& v) {
        if (bytes.size() - at < sizeof v) return false;
        v = get<Number>(bytes.data() + at);
        at += sizeof v;
        return true;
    }
    bool text(std::string_view& v) {
        std::uint64_t n;
        if (!number(n) || bytes.size() - at < n) return false;
        v = bytes.substr(at, n);
        at += n;
        return true;
    }
};

void sha256(std::string_view bytes, unsigned char* digest) {
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, bytes.data(), bytes.size());
    SHA256_Final(digest, &context);
}

}  // namespace

StateWriter::StateWriter(std::size_t memory_count) : out_(kStateMagic, sizeof kStateMagic) {
    put(out_, kStateVersion);
    put(out_, std::uint64_t{memory_count});
}

void StateWriter::add(const search::SearchMemory& memory) {
    put(out_, memory.loaded_count);
    put(out_, memory.referenced_count);
    put(out_, std::uint64_t{memory.id.size()});
    out_.append(memory.id);
    put(out_, std::uint64_t{memory.content.size()});
    out_.append(memory.content);
}

std::string StateWriter::finish() {
    unsigned char digest[kDigestSize];
    sha256(out_, digest);
    out_.append(reinterpret_cast<const char*>(digest), kDigestSize);
    return std::move(out_);
}

bool read_state(std::string_view bytes, std::vector<search::SearchMemory>& memories, std::string& error) {
    if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kStateMagic, sizeof kStateMagic) != 0) {
        error = "not a MemoryIndex state";
        return false;
    }
    const auto version = get<std::uint32_t>(bytes.data() + sizeof kStateMagic);
    if (version != kStateVersion) {
        error = "MemoryIndex state of version " + std::to_string(version) + " cannot be read (this version reads " +
                std::to_string(kStateVersion) + ")";
        return false;
    }
    unsigned char digest[kDigestSize];
    const std::string_view sealed = bytes.substr(0, bytes.size() - std::min(bytes.size(), kDigestSize));
    sha256(sealed, digest);
    if (sealed.size() < kHeaderSize || std::memcmp(digest, bytes.data() + sealed.size(), kDigestSize) != 0) {
        error = "MemoryIndex state is corrupt: its checksum does not match";
        return false;
    }
    BodyReader reader{sealed, kHeaderSize};
    std::uint64_t count = 0;
    bool ok = reader.number(count);
    for (std::uint64_t i = 0; ok && i < count; ++i) {
        search::SearchMemory& memory = memories.emplace_back();
        ok = reader.number(memory.loaded_count) && reader.number(memory.referenced_count) && reader.text(memory.id) &&
             reader.text(memory.content) && text::is_valid_utf8(memory.id) && text::is_valid_utf8(memory.content);
    }
    if (!ok || reader.at != sealed.size()) {
        error = "MemoryIndex state is corrupt: its records do not fit its length";
        return false;
    }
    return true;
}

}  // namespace orvel::index
