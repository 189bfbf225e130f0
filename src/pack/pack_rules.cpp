#include "pack/pack_rules.h"

namespace orvel::pack {

namespace {

// `text` with each placeholder replaced by the finding's own values.
std::string fill(std::string_view text, const PackFinding& finding) {
    std::string out;
    out.reserve(text.size() + finding.value.size() + 8);
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t open = text.find('{', at);
        if (open == std::string_view::npos) {
            out.append(text.substr(at));
            break;
        }
        out.append(text.substr(at, open - at));
        const std::size_t close = text.find('}', open);
        const std::string_view name = text.substr(open + 1, close - open - 1);
        if (name == "i")
            out.append(std::to_string(finding.memory));
        else if (name == "n")
            out.append(std::to_string(finding.count));
        else
            out.append(finding.value);
        at = close + 1;
    }
    return out;
}

}  // namespace

std::string finding_message(const PackFinding& finding) { return fill(finding.row().message, finding); }

std::string finding_path(const PackFinding& finding) {
    const std::string_view message = finding.row().message;
    return fill(message.substr(0, message.find(' ')), finding);
}

}  // namespace orvel::pack
