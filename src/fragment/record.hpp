// The fragment record: one piece of a template, either literal text or a
// control with its options, plus the builders the parser uses. Plain C++ with
// no interpreter in sight, so the parser and renderer can be fuzzed alone.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvanta {

using OptionList = std::vector<std::string>;

struct PromptFragment {
    std::string string;                 // text of a text fragment, name of a control
    std::optional<OptionList> options;  // absent: text fragment; present (maybe empty): control

    bool is_text() const noexcept { return !options.has_value(); }

    // A one-character text fragment holding `c` as UTF-8 (an escaped character).
    static PromptFragment char_(char32_t c);
    // A control fragment; its options are always present, empty when none are given.
    static PromptFragment control(std::string_view name, std::span<const std::string_view> options = {});
};

using FragmentList = std::vector<PromptFragment>;

}  // namespace korvanta
