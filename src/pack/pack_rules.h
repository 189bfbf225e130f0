// The rules a pack is judged by, one row each: a stable id for tools, the
// severity, the message as a template, and what the rule means in English.
// The rules find records (which rule, which memory, which value, where);
// every message is composed from its rule's template, so a message and its
// rule id can never disagree.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvel::pack {

enum class Severity : std::uint8_t { Error, Warning };

// In the order of the table below (checked there).
enum class PackRule : std::uint8_t {
    NameMissing,
    NameNotKebabCase,
    VersionMissing,
    VersionNotSemver,
    MemoriesEmpty,
    MemoriesOverLimit,
    MemoryContentBlank,
    MemoryLevelInvalid,
    MemoryZoneInvalid,
    MemoryConfidenceInvalid,
};

inline constexpr std::size_t kMaxMemories = 200;

// A template's placeholders: {i} the memory's index, {n} the number of
// memories, {text} the offending value; the text up to its first space is the
// path of the field concerned.
struct PackRuleRow {
    PackRule rule;
    std::string_view id;
    Severity severity;
    std::string_view message;
    std::string_view meaning;
};

inline constexpr std::array<PackRuleRow, 10> kPackRules{{
    {PackRule::NameMissing, "pack-name-missing", Severity::Error, "pack.name 缺失", "The pack's name is empty."},
    {PackRule::NameNotKebabCase, "pack-name-not-kebab-case", Severity::Warning, "pack.name 建议使用 kebab-case 格式",
     "The pack's name should be kebab-case: lower-case ASCII letters, digits and hyphens, not starting or ending "
     "with a hyphen."},
    {PackRule::VersionMissing, "pack-version-missing", Severity::Error, "pack.version 缺失", "The pack's version is empty."},
    {PackRule::VersionNotSemver, "pack-version-not-semver", Severity::Warning, "pack.version '{text}' 不是标准 semver 格式",
     "The pack's version is not three dot-separated numbers such as 1.0.0 (no v prefix, pre-release or build "
     "suffix)."},
    {PackRule::MemoriesEmpty, "memories-empty", Severity::Warning, "memories 为空", "The pack has no memories."},
    {PackRule::MemoriesOverLimit, "memories-over-limit", Severity::Error, "memories 超过 200 条上限 (当前: {n})",
     "The pack has more than 200 memories (the count is given)."},
    {PackRule::MemoryContentBlank, "memory-content-blank", Severity::Error, "memories[{i}].content 不能为空",
     "A memory's content is empty or only white space."},
    {PackRule::MemoryLevelInvalid, "memory-level-invalid", Severity::Error, "memories[{i}].level 无效: {text}",
     "A memory's level is none of activity, fact, cornerstone."},
    {PackRule::MemoryZoneInvalid, "memory-zone-invalid", Severity::Error, "memories[{i}].zone 无效: {text}",
     "A memory's zone is none of core, work, project, episode, general."},
    {PackRule::MemoryConfidenceInvalid, "memory-confidence-invalid", Severity::Error, "memories[{i}].trust.confidence 无效: {text}",
     "A memory's trust.confidence is none of speculative, uncertain, medium, high, certain."},
}};

// A finding's row is found by its rule's number.
static_assert([] {
    for (std::size_t i = 0; i < kPackRules.size(); ++i)
        if (kPackRules[i].rule != static_cast<PackRule>(i)) return false;
    return true;
}());

inline constexpr std::size_t kNoPlace = SIZE_MAX;

// One finding of the rules. `value` views the pack's text (or its decoded
// texts): valid while the PackView it was found in lives.
struct PackFinding {
    PackRule rule;
    std::size_t memory = kNoPlace;  // the memory's index, for the per-memory rules
    std::string_view value = {};    // the offending text, for rules that quote it
    std::size_t count = 0;          // the number of memories, for the count rule
    std::size_t offset = kNoPlace;  // byte offset of the offending value in the document, when it has one

    const PackRuleRow& row() const { return kPackRules[static_cast<std::size_t>(rule)]; }
};

// The finding's message: its rule's template, filled in.
std::string finding_message(const PackFinding& finding);

// The path of the field the finding concerns (pack.name, memories[3].level).
std::string finding_path(const PackFinding& finding);

}  // namespace orvel::pack
