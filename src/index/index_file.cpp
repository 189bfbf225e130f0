#include "index/index_file.h"

// SHA256_Init and friends, as the state format uses them (see state_format.cpp).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "index/memory_index.h"
#include "text/keyed_hash.h"
#include "text/utf8.h"

namespace orvel::index {

namespace {

constexpr unsigned char kMagic[8] = {0x89, 'O', 'R', 'V', 'I', 'X', '\r', '\n'};
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 * sizeof(std::uint32_t);
constexpr std::size_t kDigestSize = SHA256_DIGEST_LENGTH;
constexpr std::size_t kPiece = std::size_t{1} << 20;

template <class Number>
std::make_unsigned_t<Number> as_bits(Number v) {
    return static_cast<std::make_unsigned_t<Number>>(v);
}
inline std::uint64_t as_bits(double v) { return std::bit_cast<std::uint64_t>(v); }
inline std::uint32_t as_bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Hands the file on in pieces, hashing what it hands on.
class Output {
public:
    explicit Output(const std::function<void(std::string_view)>& sink) : sink_(sink) {
        SHA256_Init(&context_);
        buffer_.reserve(kPiece + 64);
    }

    template <class Number>
    void number(Number v) {
        const auto bits = as_bits(v);
        char bytes[sizeof bits];
        for (std::size_t i = 0; i < sizeof bits; ++i) bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
        buffer_.append(bytes, sizeof bits);
        if (buffer_.size() >= kPiece) flush();
    }
    void text(std::string_view bytes) {
        number(std::uint64_t{bytes.size()});
        raw(bytes);
    }
    void raw(std::string_view bytes) {
        while (!bytes.empty()) {
            const std::size_t n = std::min(bytes.size(), kPiece + 64 - buffer_.size());
            buffer_.append(bytes.substr(0, n));
            bytes.remove_prefix(n);
            if (buffer_.size() >= kPiece) flush();
        }
    }
    void finish() {
        flush();
        unsigned char digest[kDigestSize];
        SHA256_Final(digest, &context_);
        sink_(std::string_view(reinterpret_cast<const char*>(digest), kDigestSize));
    }

private:
    void flush() {
        SHA256_Update(&context_, buffer_.data(), buffer_.size());
        sink_(buffer_);
        buffer_.clear();
    }

    const std::function<void(std::string_view)>& sink_;
    SHA256_CTX context_;
    std::string buffer_;
};

template <class Number>
Number load(const char* at) {
    std::make_unsigned_t<Number> bits = 0;
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&bits, at, sizeof bits);
    } else {
        for (std::size_t i = 0; i < sizeof bits; ++i)
            bits |= static_cast<decltype(bits)>(static_cast<unsigned char>(at[i])) << (8 * i);
    }
    return static_cast<Number>(bits);
}

// Reads the body of a file, never past its end; the first failure is kept.
class Input {
public:
    explicit Input(std::string_view bytes) : bytes_(bytes) {}

    bool failed() const { return !error_.empty(); }
    const std::string& error() const { return error_; }
    std::size_t left() const { return bytes_.size() - at_; }
    bool at_end() const { return at_ == bytes_.size(); }

    // False, keeping `why`, when `ok` is false.
    bool expect(bool ok, const char* why) {
        if (!ok && error_.empty()) error_ = why;
        return ok && error_.empty();
    }
    // Whether `count` items of at least `size` bytes each can still follow:
    // checked before anything is reserved for them.
    bool room_for(std::uint64_t count, std::size_t size) {
        return expect(count <= left() / size, "it ends before the items it announces");
    }

    template <class Number>
    Number number() {
        if (!room_for(1, sizeof(Number))) return Number{};
        const Number v = load<Number>(bytes_.data() + at_);
        at_ += sizeof(Number);
        return v;
    }
    double real() { return std::bit_cast<double>(number<std::uint64_t>()); }
    float real32() { return std::bit_cast<float>(number<std::uint32_t>()); }
    std::string_view bytes(std::uint64_t n) {
        if (!room_for(n, 1)) return {};
        const std::string_view v = bytes_.substr(at_, n);
        at_ += n;
        return v;
    }
    // `n` numbers into `out` (room already checked by the caller or here).
    template <class Number>
    bool numbers(std::uint64_t n, std::vector<Number>& out) {
        if (!room_for(n, sizeof(Number))) return false;
        out.resize(n);
        if constexpr (std::endian::native == std::endian::little) {
            if (n != 0) std::memcpy(out.data(), bytes_.data() + at_, n * sizeof(Number));
        } else {
            for (std::uint64_t i = 0; i < n; ++i) out[i] = load<Number>(bytes_.data() + at_ + i * sizeof(Number));
        }
        at_ += n * sizeof(Number);
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t at_ = 0;
    std::string error_;
};

void sha256(std::string_view bytes, unsigned char* digest) {
    SHA256_CTX context;
    SHA256_Init(&context);
    SHA256_Update(&context, bytes.data(), bytes.size());
    SHA256_Final(digest, &context);
}

bool finite_at_least(double v, double low) { return std::isfinite(v) && v >= low; }

}  // namespace

// ---- writing ----

void IndexFile::write(const MemoryIndex& index, const std::function<void(std::string_view)>& sink) {
    Output out(sink);
    out.raw(std::string_view(reinterpret_cast<const char*>(kMagic), sizeof kMagic));
    out.number(kVersion);
    out.number(std::uint32_t{0});
    out.number(std::uint64_t{index.memories_.size()});
    out.number(std::uint64_t{index.order_.size()});
    out.number(std::uint64_t{index.total_length_});
    out.number(index.peak_average_length_);
    out.number(std::uint64_t{index.peaks_computed_at_});
    for (std::uint32_t slot : index.order_) out.number(slot);
    for (std::uint32_t slot : index.order_) {
        const StoredMemory& memory = index.memories_[slot];
        const SlotScoring& scoring = index.scoring_[slot];
        out.number(scoring.loaded_count);
        out.number(scoring.referenced_count);
        out.number(scoring.length);
        out.number(index.peak_usage_[slot]);
        out.number(std::uint64_t{memory.id().size()});
        out.number(std::uint64_t{memory.content().size()});
        out.raw(memory.texts);
    }
    out.number(std::uint64_t{index.usage_growth_.size()});
    for (double growth : index.usage_growth_) out.number(growth);
    const Vocabulary& vocabulary = index.vocabulary_;
    out.number(std::uint64_t{vocabulary.size()});
    for (std::uint32_t term = 0; term < vocabulary.size(); ++term) out.text(vocabulary.text(term));
    for (const PostingList& list : index.postings_) {
        const Counts& counts = list.counts();
        out.number(std::uint8_t{list.blocked()});
        out.number(static_cast<std::uint8_t>(counts.wide() ? 4 : 1));
        out.number(std::uint64_t{list.size()});
        if (list.blocked()) {
            out.number(std::uint64_t{list.blocks().size()});
            for (const PostingBlock& block : list.blocks()) {
                out.number(block.block);
                out.number(block.mask);
                out.number(block.peak);
            }
        } else {
            for (std::uint32_t slot : list.slots()) out.number(slot);
            out.number(std::uint64_t{list.span_peaks().size()});
            for (const SpanPeak& peak : list.span_peaks()) {
                out.number(peak.span);
                out.number(peak.peak);
            }
        }
        if (counts.wide()) {
            for (std::size_t i = 0; i < counts.size(); ++i) out.number(counts.wide_data()[i]);
        } else {
            out.raw(std::string_view(reinterpret_cast<const char*>(counts.narrow()), counts.size()));
        }
    }
    out.finish();
}

std::string IndexFile::write(const MemoryIndex& index) {
    std::string file;
    write(index, [&](std::string_view piece) { file.append(piece); });
    return file;
}

// ---- reading ----
//
// The checksum catches a file damaged by accident. A file made to pass it can
// still say anything, so every part is also checked against the others
// wherever a lie could make the index read out of bounds, loop, or break an
// invariant that its updates rely on:
// - every count is checked against the bytes left before anything is reserved
//   for it, so a file allocates in proportion to its size;
// - slots: the order increases and lies below the slot count; removed slots
//   number at most the live ones plus 1024, and tokens without postings at
//   most those with postings plus 4096 (updates keep both so);
// - texts are valid UTF-8, vocabulary tokens non-empty and distinct;
// - lists: slots (or blocks) increase, name live slots only, blocked masks are
//   non-empty and their postings add up to the list's size, sparse lists have
//   a peak for every span they touch (searches walk them together), counts
//   are at least 1, peaks and usage numbers are finite and not negative;
// - per memory, its counts over all lists add up to its token count, and
//   those add up to the index's token count.
// What is left unchecked is whether a memory's postings are those of its
// text: that would mean tokenizing everything, the cost a file saves. The
// index finds it out for the one memory an update takes the postings of, and
// then refuses the update (see MemoryIndex::check_postings).
std::unique_ptr<MemoryIndex> IndexFile::read(std::string_view bytes, std::string& error) {
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        error = "not a MemoryIndex file";
        return nullptr;
    }
    if (bytes.size() < kHeaderSize + kDigestSize) {
        error = "MemoryIndex file is truncated";
        return nullptr;
    }
    const auto version = load<std::uint32_t>(bytes.data() + sizeof kMagic);
    if (version != kVersion) {
        error = "MemoryIndex file of version " + std::to_string(version) + " cannot be read (this version reads " +
                std::to_string(kVersion) + ")";
        return nullptr;
    }
    const std::string_view sealed = bytes.substr(0, bytes.size() - kDigestSize);
    unsigned char digest[kDigestSize];
    sha256(sealed, digest);
    if (std::memcmp(digest, bytes.data() + sealed.size(), kDigestSize) != 0) {
        error = "MemoryIndex file is corrupt: its checksum does not match (damaged or truncated)";
        return nullptr;
    }
    Input in(sealed.substr(sizeof kMagic + sizeof(std::uint32_t)));
    auto index = std::make_unique<MemoryIndex>();
    MemoryIndex& x = *index;
    const auto fail = [&] {
        error = "MemoryIndex file is corrupt: " + in.error();
        return nullptr;
    };

    in.expect(in.number<std::uint32_t>() == 0, "it has flags this version does not know");
    const auto slot_count = in.number<std::uint64_t>();
    const auto live_count = in.number<std::uint64_t>();
    const auto total_length = in.number<std::uint64_t>();
    x.peak_average_length_ = in.real();
    const auto computed_at = in.number<std::uint64_t>();
    in.expect(finite_at_least(x.peak_average_length_, 0.0) && x.peak_average_length_ > 0.0,
              "its reference length is not a positive number");
    // Each live memory takes 40 bytes at least, and removed slots are bounded by the live ones.
    if (!in.room_for(live_count, 44)) return fail();
    in.expect(slot_count >= live_count && slot_count - live_count <= live_count + 1024 &&
                  slot_count < MemoryIndex::kNoSlot - 1 && computed_at <= slot_count,
              "its slot counts do not agree");
    if (in.failed()) return fail();

    const auto slots = static_cast<std::uint32_t>(slot_count);
    const std::uint32_t block_count = (slots + kBlockSlots - 1) / kBlockSlots;
    if (!in.numbers(live_count, x.order_)) return fail();
    std::vector<std::uint64_t> live_masks(block_count);
    for (std::size_t i = 0; i < x.order_.size(); ++i) {
        const std::uint32_t slot = x.order_[i];
        if (!in.expect(slot < slots && (i == 0 || x.order_[i - 1] < slot), "its live slots are out of order or range"))
            return fail();
        live_masks[block_of(slot)] |= slot_bit(slot);
    }

    x.memories_.resize(slots);
    x.scoring_.resize(slots);
    x.peak_usage_.assign(slots, 1.0);
    std::uint64_t length_sum = 0;
    for (std::uint32_t slot : x.order_) {
        SlotScoring& scoring = x.scoring_[slot];
        scoring.loaded_count = in.number<std::uint32_t>();
        scoring.referenced_count = in.number<std::uint32_t>();
        scoring.length = in.number<std::uint64_t>();
        x.peak_usage_[slot] = in.real();
        const auto id_size = in.number<std::uint64_t>();
        const auto content_size = in.number<std::uint64_t>();
        const std::string_view id = in.bytes(id_size);
        const std::string_view content = in.bytes(content_size);
        if (in.failed() ||
            !in.expect(finite_at_least(x.peak_usage_[slot], 0.0) && x.peak_usage_[slot] > 0.0,
                       "a memory's usage factor is not a positive number") ||
            !in.expect(text::is_valid_utf8(id) && text::is_valid_utf8(content), "a memory's text is not valid UTF-8"))
            return fail();
        // Lengths are below 2^64 each: a sum that wraps is a lie.
        if (!in.expect(length_sum + scoring.length >= length_sum, "its token counts do not add up")) return fail();
        length_sum += scoring.length;
        StoredMemory& memory = x.memories_[slot];
        memory.texts.reserve(id.size() + content.size());
        memory.texts.append(id).append(content);
        memory.id_size = id.size();
        memory.id_hash = text::text_hash(id);
    }
    if (!in.expect(length_sum == total_length, "its token counts do not add up")) return fail();
    x.total_length_ = total_length;
    for (std::uint32_t slot : x.order_) x.ids_.link(x.memories_, slot);

    const auto growth_count = in.number<std::uint64_t>();
    if (!in.expect(growth_count == std::uint64_t{slots} / kBlockSlots + 1, "its usage growth does not cover its slots") ||
        !in.room_for(growth_count, 8))
        return fail();
    x.usage_growth_.resize(growth_count);
    for (double& growth : x.usage_growth_) {
        growth = in.real();
        if (!in.expect(finite_at_least(growth, 1.0), "a usage growth is not a number of at least 1")) return fail();
    }

    const auto term_count = in.number<std::uint64_t>();
    // A token takes 8 bytes and its list 10 at least.
    if (!in.room_for(term_count, 18) ||
        !in.expect(term_count < Vocabulary::kNoTerm, "its vocabulary is too large"))
        return fail();
    for (std::uint64_t term = 0; term < term_count; ++term) {
        const std::string_view token = in.bytes(in.number<std::uint64_t>());
        if (in.failed() || !in.expect(!token.empty() && text::is_valid_utf8(token), "a token is empty or not UTF-8") ||
            !in.expect(x.vocabulary_.term_of(token) == term, "a token appears twice in its vocabulary"))
            return fail();
    }
    x.postings_.resize(term_count);
    x.tf_scratch_.assign(term_count, 0);

    std::vector<std::uint64_t> slot_sums(slots);
    std::vector<std::uint32_t> posting_slots;
    for (PostingList& list : x.postings_) {
        const auto form = in.number<std::uint8_t>();
        const auto width = in.number<std::uint8_t>();
        const auto size = in.number<std::uint64_t>();
        if (!in.expect(form <= 1 && (width == 1 || width == 4), "a posting list has an unknown form") ||
            !in.room_for(size, 1 + (form == 0 ? 4 : 0)))
            return fail();
        // The slots of the list's postings in order, whichever the form.
        posting_slots.clear();
        if (form == 0) {
            if (!in.numbers(size, list.slots_)) return fail();
            for (std::size_t i = 0; i < list.slots_.size(); ++i) {
                const std::uint32_t slot = list.slots_[i];
                if (!in.expect(slot < slots && (i == 0 || list.slots_[i - 1] < slot) &&
                                   (live_masks[block_of(slot)] & slot_bit(slot)) != 0,
                               "a posting list names slots out of order or not live"))
                    return fail();
            }
            const auto span_count = in.number<std::uint64_t>();
            if (!in.room_for(span_count, 8)) return fail();
            list.span_peaks_.resize(span_count);
            std::size_t next_slot = 0;
            for (std::size_t i = 0; i < span_count; ++i) {
                SpanPeak& peak = list.span_peaks_[i];
                peak.span = in.number<std::uint32_t>();
                peak.peak = in.real32();
                if (!in.expect((i == 0 || list.span_peaks_[i - 1].span < peak.span) &&
                                   finite_at_least(peak.peak, 0.0),
                               "a posting list's peaks are out of order or not numbers"))
                    return fail();
                while (next_slot < list.slots_.size() && span_of(list.slots_[next_slot]) == peak.span) ++next_slot;
                if (!in.expect(next_slot == list.slots_.size() || span_of(list.slots_[next_slot]) > peak.span,
                               "a posting list lacks the peak of a span it holds"))
                    return fail();
            }
            if (!in.expect(next_slot == list.slots_.size(), "a posting list lacks the peak of a span it holds"))
                return fail();
        } else {
            list.blocked_ = true;
            const auto blocks = in.number<std::uint64_t>();
            if (!in.room_for(blocks, 20)) return fail();
            list.blocks_.resize(blocks);
            std::uint64_t first = 0;
            for (std::size_t i = 0; i < blocks; ++i) {
                PostingBlock& block = list.blocks_[i];
                block.block = in.number<std::uint32_t>();
                block.mask = in.number<std::uint64_t>();
                block.peak = in.real();
                block.first = static_cast<std::uint32_t>(first);
                if (!in.expect(block.block < block_count && (i == 0 || list.blocks_[i - 1].block < block.block) &&
                                   block.mask != 0 && (block.mask & ~live_masks[block.block]) == 0 &&
                                   finite_at_least(block.peak, 0.0),
                               "a posting list names blocks out of order or slots not live"))
                    return fail();
                first += static_cast<std::uint64_t>(std::popcount(block.mask));
            }
            if (!in.expect(first == size, "a posting list's blocks do not hold its postings")) return fail();
        }
        Counts& counts = list.counts_;
        if (width == 1) {
            if (!in.numbers(size, counts.narrow_)) return fail();
        } else {
            counts.wide_ = true;
            if (!in.numbers(size, counts.wide_counts_)) return fail();
        }
        bool counts_ok = true;
        list.for_each([&](std::uint32_t slot, std::uint32_t at) {
            const std::uint32_t tf = counts[at];
            counts_ok = counts_ok && tf != 0;
            slot_sums[slot] += tf;
        });
        if (!in.expect(counts_ok, "a posting list holds a count of 0")) return fail();
        if (list.empty()) ++x.terms_without_postings_;
    }
    if (!in.expect(in.at_end(), "it has bytes after its last posting list")) return fail();
    for (std::uint32_t slot = 0; slot < slots; ++slot)
        if (!in.expect(slot_sums[slot] == x.scoring_[slot].length, "a memory's postings do not add up to its length"))
            return fail();
    if (!in.expect(x.terms_without_postings_ <= (term_count - x.terms_without_postings_) + 4096,
                   "it holds more tokens without postings than an index keeps"))
        return fail();
    x.peaks_computed_at_ = computed_at;
    x.peaks_pending_ = false;
    return index;
}

}  // namespace orvel::index
