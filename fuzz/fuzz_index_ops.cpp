// The reusable index under a sequence of operations decoded from the input:
// build, append, replace, remove, set_usage, searches with and without a limit,
// searches of two shards with their summed statistics, and a round trip through
// the state. After every change the index must hold the list the operations
// made, and every search must equal the one-call ranking of that list: the same
// positions in the same order, the same scores to the bit, the same total.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "index/memory_index.h"
#include "search/search.h"
#include "text/keyed_hash.h"

using namespace orvel;

namespace {

// Words that tokenize to shared, case-folded and single-character tokens, so
// that decoded memories and queries match each other often.
constexpr std::string_view kWords[] = {
    "api", "API", "test", "tests", "数据", "据", "json", "search", "x1", "42", "a", "Σσς",
    "timeout", "socket", "error", "é", "e\u0301", "日本語", "don't", "3.14", "🙂", "",
};
constexpr std::size_t kWordCount = sizeof kWords / sizeof kWords[0];

struct Memory {
    std::string id, content;
    std::uint32_t loaded_count = 0, referenced_count = 0;
};

// Reads the input a byte at a time; past the end every byte is 0.
class Decoder {
public:
    Decoder(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return pos_ >= size_; }
    std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint32_t count() {
        // Small counts mostly, the extremes now and then.
        const std::uint8_t b = byte();
        if (b == 0xFF) return UINT32_MAX;
        if (b == 0xFE) return UINT32_MAX - 1;
        return b < 0xF0 ? b % 8 : (std::uint32_t{byte()} << 8 | byte()) * 977u;
    }
    std::string words(std::size_t most) {
        std::string out;
        const std::size_t n = byte() % (most + 1);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t b = byte();
            if (b >= 0xF8) {
                // A few raw bytes, made well-formed, for texts outside the word list.
                const std::size_t length = byte() % 12;
                const std::size_t start = std::min(pos_, size_), end = std::min(start + length, size_);
                out += fuzz::well_formed_utf8(data_ + start, end - start);
                pos_ = end;
            } else {
                out += kWords[b % kWordCount];
            }
            out += " ,.\n"[b % 4];
        }
        return out;
    }
    Memory memory() {
        Memory m;
        m.id = std::string(1, static_cast<char>('a' + byte() % 6));  // few ids, so they repeat
        m.content = words(8);
        m.loaded_count = count();
        m.referenced_count = count();
        return m;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

search::SearchMemory view_of(const Memory& m) {
    search::SearchMemory v;
    v.id = m.id;
    v.content = m.content;
    v.id_hash = text::text_hash(v.id);
    v.loaded_count = m.loaded_count;
    v.referenced_count = m.referenced_count;
    return v;
}

std::vector<search::SearchMemory> views_of(const std::vector<Memory>& list, std::size_t from, std::size_t to) {
    std::vector<search::SearchMemory> views;
    for (std::size_t i = from; i < to; ++i) views.push_back(view_of(list[i]));
    return views;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void check_holds(const index::MemoryIndex& index, const std::vector<Memory>& list) {
    FUZZ_CHECK(index.size() == list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
        FUZZ_CHECK(index.id(i) == list[i].id);
        FUZZ_CHECK(index.content(i) == list[i].content);
        FUZZ_CHECK(index.loaded_count(i) == list[i].loaded_count);
        FUZZ_CHECK(index.referenced_count(i) == list[i].referenced_count);
    }
}

// (position, score) pairs of a search of the index.
std::vector<search::SearchHit> positions_of(const index::MemoryIndex& index, const index::IndexSearchResult& result) {
    std::vector<search::SearchHit> hits;
    for (const index::IndexHit& hit : result.hits) hits.push_back({index.position_of(hit.slot), hit.score});
    return hits;
}

void check_same_hits(const std::vector<search::SearchHit>& found, const std::vector<search::SearchHit>& expected,
                     std::size_t top) {
    FUZZ_CHECK(found.size() == std::min(top, expected.size()));
    for (std::size_t i = 0; i < found.size(); ++i) {
        FUZZ_CHECK(found[i].memory == expected[i].memory);
        FUZZ_CHECK(same_bits(found[i].score, expected[i].score));
    }
}

void check_search(const index::MemoryIndex& index, const std::vector<Memory>& list, std::string_view query,
                  std::size_t top) {
    const std::vector<search::SearchHit> expected = search::rank_memories(query, views_of(list, 0, list.size()));
    const index::IndexSearchResult result = index.search(query, top);
    FUZZ_CHECK(result.total == expected.size());
    check_same_hits(positions_of(index, result), expected, top);
}

// The list split into two shards: each searched with the summed statistics,
// the hits merged by score and then position, equal the search of the whole.
void check_shards(const std::vector<Memory>& list, std::size_t cut, std::string_view query, std::size_t top) {
    const std::vector<search::SearchMemory> first = views_of(list, 0, cut), second = views_of(list, cut, list.size());
    const auto a = index::MemoryIndex::from_memories(first), b = index::MemoryIndex::from_memories(second);
    index::CollectionStats sum = a->collection_stats(query);
    const index::CollectionStats other = b->collection_stats(query);
    FUZZ_CHECK(sum.document_frequencies.size() == other.document_frequencies.size());
    sum.memory_count += other.memory_count;
    sum.token_count += other.token_count;
    for (std::size_t i = 0; i < sum.document_frequencies.size(); ++i) {
        FUZZ_CHECK(sum.document_frequencies[i].first == other.document_frequencies[i].first);
        sum.document_frequencies[i].second += other.document_frequencies[i].second;
    }
    std::string error_a, error_b;
    const index::IndexSearchResult ra = a->search(query, top, &sum, &error_a);
    const index::IndexSearchResult rb = b->search(query, top, &sum, &error_b);
    FUZZ_CHECK(error_a.empty() && error_b.empty());
    std::vector<search::SearchHit> merged = positions_of(*a, ra);
    for (search::SearchHit hit : positions_of(*b, rb)) merged.push_back({hit.memory + cut, hit.score});
    std::stable_sort(merged.begin(), merged.end(), [](const search::SearchHit& x, const search::SearchHit& y) {
        return x.score > y.score || (x.score == y.score && x.memory < y.memory);
    });
    if (merged.size() > top) merged.resize(top);
    const std::vector<search::SearchHit> expected = search::rank_memories(query, views_of(list, 0, list.size()));
    FUZZ_CHECK(ra.total + rb.total == expected.size());
    check_same_hits(merged, expected, top);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Decoder in(data, size);
    std::vector<Memory> list;
    const std::size_t initial = in.byte() % 6;
    for (std::size_t i = 0; i < initial; ++i) list.push_back(in.memory());
    const std::vector<search::SearchMemory> views = views_of(list, 0, list.size());
    std::unique_ptr<index::MemoryIndex> index = index::MemoryIndex::from_memories(views);
    check_holds(*index, list);

    for (int step = 0; step < 64 && !in.done(); ++step) {
        const std::uint8_t op = in.byte();
        const std::size_t position = list.empty() ? 0 : in.byte() % list.size();
        switch (op % 8) {
            case 0: {
                list.push_back(in.memory());
                index->append(view_of(list.back()));
                break;
            }
            case 1:
                if (list.empty()) break;
                list[position] = in.memory();
                index->replace(position, view_of(list[position]));
                break;
            case 2:
                if (list.empty()) break;
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(position));
                index->remove(position);
                break;
            case 3: {
                if (list.empty()) break;
                const std::uint8_t which = in.byte();
                std::optional<std::uint32_t> loaded, referenced;
                if (which & 1) loaded = in.count();
                if (which & 2) referenced = in.count();
                if (loaded) list[position].loaded_count = *loaded;
                if (referenced) list[position].referenced_count = *referenced;
                index->set_usage(position, loaded, referenced);
                break;
            }
            case 4:
                check_search(*index, list, in.words(5), index::MemoryIndex::kNoLimit);
                continue;
            case 5:
                check_search(*index, list, in.words(5), in.byte() % 5);
                continue;
            case 6:
                check_shards(list, list.empty() ? 0 : position + 1, in.words(4),
                             op & 8 ? index::MemoryIndex::kNoLimit : in.byte() % 4 + 1);
                continue;
            case 7: {
                std::string error;
                std::unique_ptr<index::MemoryIndex> loaded = index::MemoryIndex::from_state(index->state(), error);
                FUZZ_CHECK(loaded != nullptr && error.empty());
                index = std::move(loaded);
                break;
            }
        }
        check_holds(*index, list);
    }
    check_search(*index, list, "api test 数据 json search a x1 42", index::MemoryIndex::kNoLimit);
    return 0;
}
