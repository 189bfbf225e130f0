// The index's own file: the built structures of a MemoryIndex (memories,
// vocabulary, posting lists in their forms with their peaks, the numbers the
// peaks were computed against), so that loading one is reading and checking
// rather than tokenizing again.
//
// Layout, every number little-endian with its width fixed, floating-point
// numbers as the bits of IEEE 754 binary64 (peaks of sparse lists binary32):
//
//   magic        8 bytes  89 'O' 'R' 'V' 'I' 'X' '\r' '\n'
//   version      u32      kVersion
//   flags        u32      0
//   slots        u64      slot count (live and removed)
//   live         u64      live memory count
//   tokens       u64      their token count
//   reference    f64      the average length the peaks were computed against
//   computed at  u64      the memory count then
//   texts        u64      the size of all the memories' texts
//   order        live x u32, the live slots, increasing
//   records      live x (u32 loaded count, u32 referenced count, u64 token
//                count, f64 usage factor at the last peaks, u64 id size, u64
//                content size), in order
//   texts        each memory's id and content, in order, back to back
//   growth       u64 count (slots / 64 + 1), then that many f64
//   vocabulary   u64 count, then per token: u64 size, its bytes
//   per token's posting list:
//                u8 form (0 sparse, 1 blocked), u8 count width (1 or 4), u64
//                postings; sparse: postings x u32 slots, u64 spans, per span
//                u32 span and f32 peak; blocked: u64 blocks, per block u32
//                block, u64 mask, f64 peak; then the counts in their width
//   checksum     u64, XXH64 (seed 0) of everything before it
//
// The magic's last bytes catch a file that went through a text-mode copy.
// The fixed-size records put every part at an offset the header gives, so
// that two threads read the memories and the lists at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvel::index {

class MemoryIndex;

class IndexFile {
public:
    static constexpr std::uint32_t kVersion = 1;

    // Writes the file of `index` through `sink`, in pieces of about a mebibyte.
    static void write(const MemoryIndex& index, const std::function<void(std::string_view)>& sink);
    // The whole file in one string (tests and the fuzzer).
    static std::string write(const MemoryIndex& index);

    // The checksum that ends a file whose other bytes are `bytes` (the fuzzer
    // seals the bodies it makes up with it).
    static std::uint64_t checksum(std::string_view bytes);

    // The index that `bytes` holds, or null with a message saying why they
    // are not a file that write() could have written.
    static std::unique_ptr<MemoryIndex> read(std::string_view bytes, std::string& error);

private:
    struct Layout;
    static void read_memories(const Layout& layout, MemoryIndex& index, std::string& error);
    static void read_lists(std::string_view bytes, std::uint32_t slots, const std::vector<std::uint64_t>& live_masks,
                           MemoryIndex& index, std::vector<std::uint64_t>& slot_sums, std::string& error);
};

}  // namespace orvel::index
