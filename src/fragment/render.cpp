// Markup text, representation and markup-text hash of fragments.
#include "fragment/render.hpp"

#include "fragment/siphash.hpp"

namespace korvanta {

std::string markup_text_of(const PromptFragment& fragment) { return markup_text(fragment); }

std::string markup_text_of(std::span<const PromptFragment> fragments) { return markup_text(fragments); }

std::string representation(const PromptFragment& fragment) {
    const std::string_view open = fragment.is_text() ? "\"" : "[";
    const std::string_view close = fragment.is_text() ? "\"" : "]";
    std::string text;
    text.reserve(fragment.string.size() + 2);
    text.append(open).append(fragment.string).append(close);
    return text;
}

namespace {

template <class Source>
std::uint64_t hash_pieces(const Source& source) {
    SipHash13 hasher;
    for_each_markup_piece(source, [&](std::string_view piece) { hasher.update(piece); });
    hasher.update(std::string_view("\xff", 1));
    return hasher.finish();
}

}  // namespace

std::uint64_t markup_hash(const PromptFragment& fragment) { return hash_pieces(fragment); }

std::uint64_t markup_hash(std::span<const PromptFragment> fragments) { return hash_pieces(fragments); }

}  // namespace korvanta
