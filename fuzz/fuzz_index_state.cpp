// The index's state reader on arbitrary bytes: it refuses them or loads them,
// never reads past them (AddressSanitizer), and allocates in proportion to them (run with
// -malloc_limit_mb, so one oversized allocation is a finding). The first byte
// picks how the rest is used: as a whole state as it is, or as the body of a
// state that gets the right header and checksum, so that the records reader
// behind the checksum is reached. What loads is written back byte for byte: a
// state has one form.
#include <openssl/sha.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "index/memory_index.h"

using namespace orvel;

namespace {

std::string with_header_and_checksum(std::string_view body) {
    std::string state("ORVELIDX", 8);
    state.append("\x01\x00\x00\x00", 4);  // version 1, little-endian
    state.append(body);
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, state.data(), state.size());
    SHA256_Final(digest, &context);
    state.append(reinterpret_cast<const char*>(digest), sizeof digest);
    return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string bytes = data[0] & 1 ? with_header_and_checksum(rest) : std::string(rest);

    std::string error;
    std::unique_ptr<index::MemoryIndex> loaded = index::MemoryIndex::from_state(bytes, error);
    if (loaded == nullptr) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(loaded->state() == bytes);
    for (std::size_t i = 0; i < loaded->size(); ++i) {
        FUZZ_CHECK(fuzz::is_well_formed_utf8(loaded->id(i)));
        FUZZ_CHECK(fuzz::is_well_formed_utf8(loaded->content(i)));
    }
    loaded->search("api test 数据", 3);
    return 0;
}
