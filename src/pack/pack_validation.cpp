#include <algorithm>
#include <array>
#include <string>
#include <string_view>

#include "pack/pack.h"
#include "text/unicode.h"

namespace orvel::pack {

namespace {

constexpr std::size_t kMaxMemories = 200;
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

// "memories[i]." + field + value
std::string memory_path(std::size_t index, std::string_view field, std::string_view value = {}) {
    std::string path = "memories[" + std::to_string(index) + "].";
    path.append(field).append(value);
    return path;
}

}  // namespace

PackReport validate_pack_document(const PackView& pack) {
    PackReport report;
    const PackMetaView& meta = pack.pack;

    if (meta.name.empty())
        report.errors.emplace_back("pack.name 缺失");
    else if (!is_kebab_case(meta.name))
        report.warnings.emplace_back("pack.name 建议使用 kebab-case 格式");

    if (meta.version.empty())
        report.errors.emplace_back("pack.version 缺失");
    else if (!is_three_numbers(meta.version))
        report.warnings.emplace_back("pack.version '" + std::string(meta.version) + "' 不是标准 semver 格式");

    const std::size_t count = pack.memories.size();
    if (count == 0)
        report.warnings.emplace_back("memories 为空");
    else if (count > kMaxMemories)
        report.errors.emplace_back("memories 超过 " + std::to_string(kMaxMemories) + " 条上限 (当前: " + std::to_string(count) +
                                   ")");

    for (std::size_t i = 0; i < count; ++i) {
        const PackMemView& mem = pack.memories[i];
        if (text::trim_white_space(mem.content).empty())
            report.errors.push_back(memory_path(i, "content 不能为空"));
        if (!is_one_of(mem.level, kLevels)) report.errors.push_back(memory_path(i, "level 无效: ", mem.level));
        if (mem.zone && !is_one_of(*mem.zone, kZones))
            report.errors.push_back(memory_path(i, "zone 无效: ", *mem.zone));
        if (mem.confidence && !is_one_of(*mem.confidence, kConfidences))
            report.errors.push_back(memory_path(i, "trust.confidence 无效: ", *mem.confidence));
    }

    report.memory_count = count;
    report.valid = report.errors.empty();
    return report;
}

json::Outcome<PackReport> validate_pack_text(std::string_view text) {
    auto pack = read_pack_view(text);
    if (!pack.ok()) return pack.error();
    return validate_pack_document(pack.value());
}

}  // namespace orvel::pack
