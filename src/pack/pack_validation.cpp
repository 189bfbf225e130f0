#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "pack/pack.h"
#include "text/unicode.h"

namespace orvel::pack {

namespace {

constexpr std::array<std::string_view, 3> kLevels{"fact", "cornerstone", "activity"};
constexpr std::array<std::string_view, 5> kZones{"core", "work", "project", "episode", "general"};
constexpr std::array<std::string_view, 5> kConfidences{"speculative", "uncertain", "medium", "high", "certain"};

template <std::size_t N>
bool is_one_of(std::string_view s, const std::array<std::string_view, N>& set) {
    return std::find(set.begin(), set.end(), s) != set.end();
}

// Lower-case ASCII letters, digits and hyphens, not starting or ending with a hyphen.
bool is_kebab_case(std::string_view name) {
    if (name.front() == '-' || name.back() == '-') return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

// An unsigned 32-bit number in decimal: an optional plus sign, then digits.
bool is_u32_number(std::string_view piece) {
    if (!piece.empty() && piece.front() == '+') piece.remove_prefix(1);
    if (piece.empty()) return false;
    std::uint64_t value = 0;
    for (char c : piece) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > 0xFFFFFFFFULL) return false;
    }
    return true;
}

// Three full-stop separated numbers, empty pieces kept.
bool is_three_numbers(std::string_view version) {
    std::size_t pieces = 0;
    for (std::size_t start = 0;;) {
        std::size_t dot = version.find('.', start);
        std::string_view piece = version.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (++pieces > 3 || !is_u32_number(piece)) return false;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return pieces == 3;
}

}  // namespace

std::vector<PackFinding> pack_findings(const PackView& pack) {
    std::vector<PackFinding> found;
    // The reading notes where each value's reading began: the place of a
    // finding is found only when there is one.
    const auto place = [&](std::size_t at) { return at == kNoPlace ? kNoPlace : value_start(pack.text, at); };
    const PackMetaView& meta = pack.pack;

    if (meta.name.empty())
        found.push_back({.rule = PackRule::NameMissing, .offset = place(meta.name_at)});
    else if (!is_kebab_case(meta.name))
        found.push_back({.rule = PackRule::NameNotKebabCase, .value = meta.name, .offset = place(meta.name_at)});

    if (meta.version.empty())
        found.push_back({.rule = PackRule::VersionMissing, .offset = place(meta.version_at)});
    else if (!is_three_numbers(meta.version))
        found.push_back({.rule = PackRule::VersionNotSemver, .value = meta.version, .offset = place(meta.version_at)});

    const std::size_t count = pack.memories.size();
    if (count == 0)
        found.push_back({.rule = PackRule::MemoriesEmpty, .offset = place(pack.memories_at)});
    else if (count > kMaxMemories)
        found.push_back({.rule = PackRule::MemoriesOverLimit, .count = count, .offset = place(pack.memories_at)});

    for (std::size_t i = 0; i < count; ++i) {
        const PackMemView& mem = pack.memories[i];
        if (text::trim_white_space(mem.content).empty())
            found.push_back({.rule = PackRule::MemoryContentBlank, .memory = i, .value = mem.content, .offset = place(mem.content_at)});
        if (!is_one_of(mem.level, kLevels))
            found.push_back({.rule = PackRule::MemoryLevelInvalid, .memory = i, .value = mem.level, .offset = place(mem.level_at)});
        if (mem.zone && !is_one_of(*mem.zone, kZones))
            found.push_back({.rule = PackRule::MemoryZoneInvalid, .memory = i, .value = *mem.zone, .offset = place(mem.zone_at)});
        if (mem.confidence && !is_one_of(*mem.confidence, kConfidences))
            found.push_back(
                {.rule = PackRule::MemoryConfidenceInvalid, .memory = i, .value = *mem.confidence, .offset = place(mem.confidence_at)});
    }
    return found;
}

PackReport report_of(const std::vector<PackFinding>& findings, std::uint64_t memory_count) {
    PackReport report;
    for (const PackFinding& finding : findings)
        (finding.row().severity == Severity::Error ? report.errors : report.warnings).push_back(finding_message(finding));
    report.memory_count = memory_count;
    report.valid = report.errors.empty();
    return report;
}

PackReport validate_pack_document(const PackView& pack) { return report_of(pack_findings(pack), pack.memories.size()); }

json::Outcome<PackReport> validate_pack_text(std::string_view text) {
    auto pack = read_pack_view(text);
    if (!pack.ok()) return pack.error();
    return validate_pack_document(pack.value());
}

}  // namespace orvel::pack
