// Builders of fragment records.
#include "fragment/record.hpp"

namespace korvanta {

PromptFragment PromptFragment::char_(char32_t c) {
    char bytes[4];
    std::size_t size;
    if (c < 0x80) {
        bytes[0] = static_cast<char>(c);
        size = 1;
    } else if (c < 0x800) {
        bytes[0] = static_cast<char>(0xC0 | (c >> 6));
        bytes[1] = static_cast<char>(0x80 | (c & 0x3F));
        size = 2;
    } else if (c < 0x10000) {
        bytes[0] = static_cast<char>(0xE0 | (c >> 12));
        bytes[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | (c & 0x3F));
        size = 3;
    } else {
        bytes[0] = static_cast<char>(0xF0 | (c >> 18));
        bytes[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        bytes[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        bytes[3] = static_cast<char>(0x80 | (c & 0x3F));
        size = 4;
    }
    return PromptFragment{std::string(bytes, size), std::nullopt};
}

PromptFragment PromptFragment::control(std::string_view name, std::span<const std::string_view> options) {
    OptionList list;
    list.reserve(options.size());
    for (std::string_view option : options) list.emplace_back(option);
    return PromptFragment{std::string(name), std::move(list)};
}

}  // namespace korvanta
