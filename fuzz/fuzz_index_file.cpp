// The index file reader on arbitrary bytes: it refuses them or loads them,
// never reads past them (AddressSanitizer), and allocates in proportion to
// them (run with -malloc_limit_mb). The first byte picks how the rest is
// used: as a whole file, or as the body of a file that gets the right magic,
// version and checksum, so that the structural checks behind the checksum
// are reached. What loads is written back byte for byte (a file has one
// form), and then searched and updated: an update whose memory's postings
// the file forged is refused and changes nothing.
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "index/index_file.h"
#include "index/memory_index.h"

using namespace orvel;

namespace {

std::string sealed(std::string_view body) {
    std::string file("\x89ORVIX\r\n\x01\x00\x00\x00", 12);  // magic and version 1, little-endian
    file.append(body);
    const std::uint64_t sum = index::IndexFile::checksum(file);
    for (int i = 0; i < 8; ++i) file.push_back(static_cast<char>((sum >> (8 * i)) & 0xFF));
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string bytes = data[0] & 1 ? sealed(rest) : std::string(rest);

    std::string error;
    std::unique_ptr<index::MemoryIndex> loaded = index::IndexFile::read(bytes, error);
    if (loaded == nullptr) {
        FUZZ_CHECK(!error.empty());
        return 0;
    }
    FUZZ_CHECK(error.empty());
    FUZZ_CHECK(index::IndexFile::write(*loaded) == bytes);
    for (std::size_t i = 0; i < loaded->size(); ++i) {
        FUZZ_CHECK(fuzz::is_well_formed_utf8(loaded->id(i)));
        FUZZ_CHECK(fuzz::is_well_formed_utf8(loaded->content(i)));
    }
    loaded->search("alpha beta 数据", 3);
    loaded->search("alpha beta 数据");
    (void)loaded->state();
    const search::SearchMemory fresh{"n", "alpha gamma gamma", 0, 3, 1};
    loaded->append(fresh);
    // Each update either goes through or, refused, leaves the index as it was.
    const auto refused = [&](auto update) {
        const std::string before = index::IndexFile::write(*loaded);
        try {
            update();
        } catch (const std::logic_error&) {
            FUZZ_CHECK(index::IndexFile::write(*loaded) == before);
            return true;
        }
        return false;
    };
    while (loaded->size() > 0) {
        if (loaded->size() % 2 == 0 && refused([&] { loaded->replace(0, fresh); })) break;
        if (refused([&] { loaded->remove(0); })) break;
        loaded->search("alpha gamma", 2);
    }
    return 0;
}
