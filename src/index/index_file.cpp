#include "index/index_file.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "index/memory_index.h"
#include "text/keyed_hash.h"
#include "text/utf8.h"

namespace orvel::index {

namespace {

constexpr unsigned char kMagic[8] = {0x89, 'O', 'R', 'V', 'I', 'X', '\r', '\n'};
// Magic, version, flags and the six numbers after them.
constexpr std::size_t kHeaderSize = sizeof kMagic + 2 * sizeof(std::uint32_t) + 6 * sizeof(std::uint64_t);
constexpr std::size_t kChecksumSize = sizeof(std::uint64_t);
constexpr std::size_t kRecordSize = 40;  // a memory's numbers
constexpr std::size_t kPiece = std::size_t{1} << 20;
// Below this many bytes a second thread costs about what it saves.
constexpr std::size_t kTwoThreadsFrom = std::size_t{1} << 20;
constexpr const char* kChecksumMismatch = "MemoryIndex file is corrupt: its checksum does not match (damaged or truncated)";

// XXH64 with seed 0: a checksum for accidental damage (a crafted file can
// carry any checksum; the structural checks deal with those). Written as one
// running state, so that a file is checksummed as it is written.
class Xxh64 {
public:
    void update(const char* data, std::size_t n) {
        total_ += n;
        if (buffered_ != 0) {
            const std::size_t take = std::min(n, sizeof stripe_ - buffered_);
            std::memcpy(stripe_ + buffered_, data, take);
            buffered_ += take, data += take, n -= take;
            if (buffered_ < sizeof stripe_) return;
            consume(stripe_);
            buffered_ = 0;
        }
        for (; n >= sizeof stripe_; data += sizeof stripe_, n -= sizeof stripe_) consume(data);
        std::memcpy(stripe_, data, n);
        buffered_ = n;
    }
    std::uint64_t digest() const {
        std::uint64_t h;
        if (total_ >= 32) {
            h = std::rotl(v_[0], 1) + std::rotl(v_[1], 7) + std::rotl(v_[2], 12) + std::rotl(v_[3], 18);
            for (std::uint64_t v : v_) h = (h ^ round(0, v)) * kP1 + kP4;
        } else {
            h = kP5;
        }
        h += total_;
        const char* p = stripe_;
        std::size_t n = buffered_;
        for (; n >= 8; p += 8, n -= 8) h = std::rotl(h ^ round(0, word64(p)), 27) * kP1 + kP4;
        if (n >= 4) {
            h = std::rotl(h ^ (std::uint64_t{word32(p)} * kP1), 23) * kP2 + kP3;
            p += 4, n -= 4;
        }
        for (; n > 0; ++p, --n) h = std::rotl(h ^ (static_cast<unsigned char>(*p) * kP5), 11) * kP1;
        h ^= h >> 33, h *= kP2, h ^= h >> 29, h *= kP3, h ^= h >> 32;
        return h;
    }

private:
    static constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87, kP2 = 0xC2B2AE3D27D4EB4F, kP3 = 0x165667B19E3779F9,
                                   kP4 = 0x85EBCA77C2B2AE63, kP5 = 0x27D4EB2F165667C5;
    static std::uint64_t round(std::uint64_t acc, std::uint64_t input) { return std::rotl(acc + input * kP2, 31) * kP1; }
    static std::uint64_t word64(const char* p);
    static std::uint32_t word32(const char* p);
    void consume(const char* p) {
        for (int i = 0; i < 4; ++i) v_[i] = round(v_[i], word64(p + 8 * i));
    }

    std::uint64_t v_[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
    std::uint64_t total_ = 0;
    char stripe_[32];
    std::size_t buffered_ = 0;
};

// The bits a number is written as.
inline std::uint8_t as_bits(std::uint8_t v) { return v; }
inline std::uint32_t as_bits(std::uint32_t v) { return v; }
inline std::uint64_t as_bits(std::uint64_t v) { return v; }
inline std::uint64_t as_bits(double v) { return std::bit_cast<std::uint64_t>(v); }
inline std::uint32_t as_bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Hands the file on in pieces, hashing what it hands on.
class Output {
public:
    explicit Output(const std::function<void(std::string_view)>& sink) : sink_(sink) { buffer_.reserve(kPiece + 64); }

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
        number(checksum_.digest());
        sink_(buffer_);
    }

private:
    void flush() {
        checksum_.update(buffer_.data(), buffer_.size());
        sink_(buffer_);
        buffer_.clear();
    }

    const std::function<void(std::string_view)>& sink_;
    Xxh64 checksum_;
    std::string buffer_;
};

template <class Number>
Number load(const char* at);

std::uint64_t Xxh64::word64(const char* p) { return load<std::uint64_t>(p); }
std::uint32_t Xxh64::word32(const char* p) { return load<std::uint32_t>(p); }

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

    bool failed() const { return error_ != nullptr; }
    std::string error() const { return error_ == nullptr ? std::string() : std::string(error_); }
    std::size_t left() const { return bytes_.size() - at_; }
    bool at_end() const { return at_ == bytes_.size(); }

    // False, keeping the first `why`, when `ok` is false or something failed before.
    bool expect(bool ok, const char* why) {
        if (!ok && error_ == nullptr) error_ = why;
        return error_ == nullptr;
    }
    // Whether `count` items of at least `size` bytes each can still follow:
    // checked before anything is reserved for them.
    bool room_for(std::uint64_t count, std::size_t size) {
        return expect(count <= left() / size, "it ends before the items it announces");
    }

    template <class Number>
    Number number() {
        if (left() < sizeof(Number)) {
            expect(false, "it ends before the items it announces");
            return Number{};
        }
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
    const char* error_ = nullptr;
};

// Strict UTF-8 (text::is_valid_utf8), past runs of ASCII eight bytes at a
// time: bytes below 0x80 are whole characters, so the runs of other bytes
// between them are checked on their own.
bool is_valid_utf8(std::string_view s) {
    const char* p = s.data();
    const char* const end = p + s.size();
    while (p != end) {
        while (end - p >= 8 && (load<std::uint64_t>(p) & 0x8080808080808080u) == 0) p += 8;
        while (p != end && static_cast<unsigned char>(*p) < 0x80) ++p;
        const char* run = p;
        while (p != end && static_cast<unsigned char>(*p) >= 0x80) ++p;
        if (!text::is_valid_utf8(std::string_view(run, static_cast<std::size_t>(p - run)))) return false;
    }
    return true;
}

bool is_continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

bool finite_at_least(double v, double low) { return std::isfinite(v) && v >= low; }

}  // namespace

std::uint64_t IndexFile::checksum(std::string_view bytes) {
    Xxh64 sum;
    sum.update(bytes.data(), bytes.size());
    return sum.digest();
}

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
    std::uint64_t texts_size = 0;
    for (std::uint32_t slot : index.order_) texts_size += index.memories_[slot].texts.size();
    out.number(texts_size);
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
    }
    for (std::uint32_t slot : index.order_) out.raw(index.memories_[slot].texts);
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
// - texts are valid UTF-8 (the texts as a whole, and each starts a
//   character), vocabulary tokens non-empty, valid and distinct;
// - lists: slots (or blocks) increase, name live slots only, blocked masks are
//   non-empty and their postings add up to the list's size, sparse lists have
//   a peak for every span they touch (searches walk them together), counts
//   are at least 1, peaks and usage numbers are finite and not negative
//   (growth at least 1);
// - per memory, its counts over all lists add up to its token count, and
//   those add up to the index's token count.
// What is left unchecked is whether a memory's postings are those of its
// text: that would mean tokenizing everything, the cost a file saves. The
// index finds it out for the one memory an update takes the postings of, and
// then refuses the update (see MemoryIndex::check_postings).
//
// Large files are read on two threads: this one takes the checksum, the
// texts' UTF-8 and the memories, the other the lists; the two fill distinct
// members of the index.

struct IndexFile::Layout {
    std::uint32_t slots = 0;
    std::uint64_t live = 0;
    std::uint64_t tokens = 0;
    std::uint64_t computed_at = 0;
    double reference = 0.0;
    std::string_view order, records, texts, lists;
};

std::unique_ptr<MemoryIndex> IndexFile::read(std::string_view bytes, std::string& error) {
    const std::size_t version_end = sizeof kMagic + sizeof(std::uint32_t);
    if (bytes.size() < sizeof kMagic || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        error = "not a MemoryIndex file";
        return nullptr;
    }
    if (bytes.size() < version_end) {
        error = "MemoryIndex file is truncated";
        return nullptr;
    }
    const auto version = load<std::uint32_t>(bytes.data() + sizeof kMagic);
    if (version != kVersion) {
        error = "MemoryIndex file of version " + std::to_string(version) + " cannot be read (this version reads " +
                std::to_string(kVersion) + ")";
        return nullptr;
    }
    if (bytes.size() < kHeaderSize + kChecksumSize) {
        error = "MemoryIndex file is truncated";
        return nullptr;
    }
    const std::string_view sealed = bytes.substr(0, bytes.size() - kChecksumSize);
    const auto checksum = load<std::uint64_t>(bytes.data() + sealed.size());
    const auto corrupt = [&](const std::string& why) {
        error = "MemoryIndex file is corrupt: " + why;
        return nullptr;
    };

    Layout layout;
    {
        Input in(sealed.substr(version_end));
        const auto flags = in.number<std::uint32_t>();
        const auto slots = in.number<std::uint64_t>();
        layout.live = in.number<std::uint64_t>();
        layout.tokens = in.number<std::uint64_t>();
        layout.reference = in.real();
        layout.computed_at = in.number<std::uint64_t>();
        const auto texts_size = in.number<std::uint64_t>();
        in.expect(flags == 0, "it has flags this version does not know");
        in.expect(std::isfinite(layout.reference) && layout.reference > 0.0,
                  "its reference length is not a positive number");
        // Each live memory takes 44 bytes before its texts.
        in.room_for(layout.live, 4 + kRecordSize);
        if (in.failed()) return corrupt(in.error());
        in.expect(slots >= layout.live && slots - layout.live <= layout.live + 1024 &&
                      slots < MemoryIndex::kNoSlot - 1 && layout.computed_at <= slots,
                  "its slot counts do not agree");
        in.expect(texts_size <= in.left() - layout.live * (4 + kRecordSize), "it ends before the items it announces");
        if (in.failed()) return corrupt(in.error());
        layout.slots = static_cast<std::uint32_t>(slots);
        std::size_t at = kHeaderSize;
        const auto part = [&](std::uint64_t size) {
            const std::string_view piece = sealed.substr(at, size);
            at += size;
            return piece;
        };
        layout.order = part(layout.live * 4);
        layout.records = part(layout.live * kRecordSize);
        layout.texts = part(texts_size);
        layout.lists = sealed.substr(at);
    }

    auto index = std::make_unique<MemoryIndex>();
    MemoryIndex& x = *index;
    {
        Input in(layout.order);
        in.numbers(layout.live, x.order_);
    }
    std::vector<std::uint64_t> live_masks((layout.slots + kBlockSlots - 1) / kBlockSlots);
    for (std::size_t i = 0; i < x.order_.size(); ++i) {
        const std::uint32_t slot = x.order_[i];
        if (slot >= layout.slots || (i != 0 && x.order_[i - 1] >= slot))
            return corrupt("its live slots are out of order or range");
        live_masks[block_of(slot)] |= slot_bit(slot);
    }

    // The checksum, the texts' UTF-8 and the memories on this thread, the
    // lists on the other; alone, the checksum first.
    bool checksum_matches = false, texts_valid = false;
    std::string memories_error, lists_error;
    std::vector<std::uint64_t> slot_sums(layout.slots);
    const auto check_texts = [&] {
        Xxh64 sum;
        sum.update(sealed.data(), sealed.size());
        checksum_matches = sum.digest() == checksum;
        texts_valid = checksum_matches && is_valid_utf8(layout.texts);
    };
    const auto read_rest = [&] { read_lists(layout.lists, layout.slots, live_masks, x, slot_sums, lists_error); };
    {
        std::thread worker;
        std::exception_ptr worker_failed;
        if (sealed.size() >= kTwoThreadsFrom) {
            try {
                worker = std::thread([&] {
                    try {
                        read_rest();
                    } catch (...) {
                        worker_failed = std::current_exception();
                    }
                });
            } catch (const std::system_error&) {
            }
        }
        struct JoinOnExit {
            std::thread& t;
            ~JoinOnExit() {
                if (t.joinable()) t.join();
            }
        };
        {
            JoinOnExit join{worker};
            const bool alone = !worker.joinable();
            check_texts();
            if (alone && texts_valid) read_rest();
            // (Alone, nothing is read past a finding; together, the lists' is looked at after the join.)
            if (texts_valid && (!alone || lists_error.empty())) read_memories(layout, x, memories_error);
        }
        if (worker_failed) std::rethrow_exception(worker_failed);
    }
    if (!checksum_matches) {
        error = kChecksumMismatch;
        return nullptr;
    }
    if (!memories_error.empty()) return corrupt(memories_error);
    if (!texts_valid) return corrupt("a memory's text is not valid UTF-8");
    if (!lists_error.empty()) return corrupt(lists_error);
    for (std::uint32_t slot = 0; slot < layout.slots; ++slot)
        if (slot_sums[slot] != x.scoring_[slot].length) return corrupt("a memory's postings do not add up to its length");
    x.peak_average_length_ = layout.reference;
    x.peaks_computed_at_ = layout.computed_at;
    x.peaks_pending_ = false;
    x.postings_from_file_ = true;
    return index;
}

// The memories' numbers and texts, and the chains of their ids.
void IndexFile::read_memories(const Layout& layout, MemoryIndex& x, std::string& error) {
    Input in(layout.records);
    const std::string_view texts = layout.texts;
    const auto starts_character = [&](std::uint64_t at) { return at == texts.size() || !is_continuation(texts[at]); };
    x.memories_.resize(layout.slots);
    x.scoring_.resize(layout.slots);
    x.peak_usage_.assign(layout.slots, 1.0);
    std::uint64_t length_sum = 0;
    std::uint64_t at = 0;
    for (std::uint32_t slot : x.order_) {
        SlotScoring& scoring = x.scoring_[slot];
        scoring.loaded_count = in.number<std::uint32_t>();
        scoring.referenced_count = in.number<std::uint32_t>();
        scoring.length = in.number<std::uint64_t>();
        const double usage = in.real();
        const auto id_size = in.number<std::uint64_t>();
        const auto content_size = in.number<std::uint64_t>();
        x.peak_usage_[slot] = usage;
        if (!(std::isfinite(usage) && usage > 0.0)) {
            error = "a memory's usage factor is not a positive number";
            return;
        }
        if (id_size > texts.size() - at || content_size > texts.size() - at - id_size ||
            !starts_character(at + id_size) || !starts_character(at + id_size + content_size)) {
            error = "its texts do not fit their sizes";
            return;
        }
        // Lengths are below 2^64 each: a sum that wraps is a lie.
        if (length_sum + scoring.length < length_sum) {
            error = "its token counts do not add up";
            return;
        }
        length_sum += scoring.length;
        StoredMemory& memory = x.memories_[slot];
        memory.texts.assign(texts.substr(at, id_size + content_size));
        memory.id_size = id_size;
        memory.id_hash = text::text_hash(memory.id());
        at += id_size + content_size;
    }
    if (at != texts.size() || (texts.size() != 0 && is_continuation(texts[0]))) {
        error = "its texts do not fit their sizes";
        return;
    }
    if (length_sum != layout.tokens) {
        error = "its token counts do not add up";
        return;
    }
    x.total_length_ = layout.tokens;
    for (std::uint32_t slot : x.order_) x.ids_.link(x.memories_, slot);
}

// The usage growth, the vocabulary and the posting lists; each slot's counts
// added up into `slot_sums`.
void IndexFile::read_lists(std::string_view bytes, std::uint32_t slots, const std::vector<std::uint64_t>& live_masks,
                           MemoryIndex& x, std::vector<std::uint64_t>& slot_sums, std::string& error) {
    // `slot_sums` has a place per slot.
    Input in(bytes);
    const auto fail = [&] { error = in.error(); };
    const std::uint32_t block_count = static_cast<std::uint32_t>(live_masks.size());
    const auto is_live = [&](std::uint32_t slot) { return (live_masks[block_of(slot)] & slot_bit(slot)) != 0; };

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
    if (!in.room_for(term_count, 18) || !in.expect(term_count < Vocabulary::kNoTerm, "its vocabulary is too large"))
        return fail();
    for (std::uint64_t term = 0; term < term_count; ++term) {
        const std::string_view token = in.bytes(in.number<std::uint64_t>());
        if (in.failed() || !in.expect(!token.empty() && is_valid_utf8(token), "a token is empty or not UTF-8") ||
            !in.expect(x.vocabulary_.term_of(token) == term, "a token appears twice in its vocabulary"))
            return fail();
    }
    x.postings_.resize(term_count);
    x.tf_scratch_.assign(term_count, 0);

    for (PostingList& list : x.postings_) {
        const auto form = in.number<std::uint8_t>();
        const auto width = in.number<std::uint8_t>();
        const auto size = in.number<std::uint64_t>();
        if (!in.expect(form <= 1 && (width == 1 || width == 4), "a posting list has an unknown form") ||
            !in.room_for(size, 1 + (form == 0 ? 4 : 0)))
            return fail();
        if (form == 0) {
            if (!in.numbers(size, list.slots_)) return fail();
            std::uint32_t previous = 0;
            bool slots_ok = true;
            for (std::size_t i = 0; i < list.slots_.size(); ++i) {
                const std::uint32_t slot = list.slots_[i];
                slots_ok &= slot < slots && (i == 0 || previous < slot);
                if (!slots_ok) break;
                slots_ok &= is_live(slot);
                previous = slot;
            }
            if (!in.expect(slots_ok, "a posting list names slots out of order or not live")) return fail();
            const auto span_count = in.number<std::uint64_t>();
            if (!in.room_for(span_count, 8)) return fail();
            list.span_peaks_.resize(span_count);
            std::size_t next = 0;  // the first slot whose span has no peak yet
            for (std::size_t i = 0; i < span_count; ++i) {
                SpanPeak& peak = list.span_peaks_[i];
                peak.span = in.number<std::uint32_t>();
                peak.peak = in.real32();
                if (!in.expect((i == 0 || list.span_peaks_[i - 1].span < peak.span) && finite_at_least(peak.peak, 0.0),
                               "a posting list's peaks are out of order or not numbers") ||
                    !in.expect(next == list.slots_.size() || span_of(list.slots_[next]) >= peak.span,
                               "a posting list lacks the peak of a span it holds"))
                    return fail();
                while (next < list.slots_.size() && span_of(list.slots_[next]) == peak.span) ++next;
            }
            if (!in.expect(next == list.slots_.size(), "a posting list lacks the peak of a span it holds")) return fail();
        } else {
            list.blocked_ = true;
            const auto blocks = in.number<std::uint64_t>();
            if (!in.room_for(blocks, 20)) return fail();
            list.blocks_.resize(blocks);
            std::uint64_t first = 0;
            bool blocks_ok = true;
            for (std::size_t i = 0; i < blocks; ++i) {
                PostingBlock& block = list.blocks_[i];
                block.block = in.number<std::uint32_t>();
                block.mask = in.number<std::uint64_t>();
                block.peak = in.real();
                block.first = static_cast<std::uint32_t>(first);
                blocks_ok &= block.block < block_count && (i == 0 || list.blocks_[i - 1].block < block.block) &&
                             block.mask != 0 && (block.mask & ~live_masks[block.block]) == 0 &&
                             finite_at_least(block.peak, 0.0);
                if (!blocks_ok) break;
                first += static_cast<std::uint64_t>(std::popcount(block.mask));
            }
            if (!in.expect(blocks_ok, "a posting list names blocks out of order or slots not live") ||
                !in.expect(first == size, "a posting list's blocks do not hold its postings"))
                return fail();
        }
        Counts& counts = list.counts_;
        if (width == 1) {
            if (!in.numbers(size, counts.narrow_)) return fail();
        } else {
            counts.wide_ = true;
            if (!in.numbers(size, counts.wide_counts_)) return fail();
        }
        const auto add_counts = [&](const auto* tf) {
            bool counts_ok = true;
            list.for_each([&](std::uint32_t slot, std::uint32_t at) {
                counts_ok &= tf[at] != 0;
                slot_sums[slot] += tf[at];
            });
            return counts_ok;
        };
        const bool counts_ok = width == 1 ? add_counts(counts.narrow_.data()) : add_counts(counts.wide_counts_.data());
        if (!in.expect(counts_ok, "a posting list holds a count of 0")) return fail();
        if (list.empty()) ++x.terms_without_postings_;
    }
    if (!in.expect(in.at_end(), "it has bytes after its last posting list")) return fail();
    if (!in.expect(x.terms_without_postings_ <= (term_count - x.terms_without_postings_) + 4096,
                   "it holds more tokens without postings than an index keeps"))
        return fail();
}

}  // namespace orvel::index
