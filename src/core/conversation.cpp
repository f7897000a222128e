// Conversations as their chat template wrote them: the exchanges dropped to
// fit and the labelled layout.
#include "core/conversation.hpp"

#include <algorithm>

namespace korvanta {

void Conversations::add(std::string_view text, std::span<const ContentSpan> contents) {
    text_ += text;
    ends_.push_back(text_.size());
    characters_.push_back(character_count(text));
    contents_.insert(contents_.end(), contents.begin(), contents.end());
    content_ends_.push_back(contents_.size());
}

std::string_view Conversations::text(std::size_t row) const noexcept {
    const std::size_t begin = row == 0 ? 0 : ends_[row - 1];
    return std::string_view(text_).substr(begin, ends_[row] - begin);
}

std::span<const ContentSpan> Conversations::contents(std::size_t row) const noexcept {
    const std::size_t begin = row == 0 ? 0 : content_ends_[row - 1];
    return std::span<const ContentSpan>(contents_).subspan(begin, content_ends_[row] - begin);
}

std::vector<CharSpan> Conversations::spans(std::size_t row) const {
    std::vector<CharSpan> spans;
    for (const ContentSpan& content : contents(row)) spans.push_back(content.span);
    return spans;
}

std::vector<std::uint8_t> Conversations::labelled(std::size_t row) const {
    std::vector<std::uint8_t> labelled;
    for (const ContentSpan& content : contents(row)) labelled.push_back(content.labelled ? 1 : 0);
    return labelled;
}

Exchanges group_exchanges(std::span<const char> kinds) {
    Exchanges exchanges;
    exchanges.of_message.assign(kinds.size(), Exchanges::none);
    std::size_t m = 0;
    while (m < kinds.size() && kinds[m] == 's') ++m;  // the opening system messages
    bool asked = false;  // the current exchange has its user message
    for (; m < kinds.size(); ++m) {
        if (exchanges.count == 0 || (kinds[m] == 'u' && asked)) {
            ++exchanges.count;
            asked = false;
        }
        asked = asked || kinds[m] == 'u';
        exchanges.of_message[m] = exchanges.count - 1;
    }
    return exchanges;
}

std::size_t exchanges_to_drop(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length) {
    if (exchanges.count < 2 || tokens.ids.size() <= max_length) return 0;
    // 1. Each token's exchange, from the back: a template token takes the
    //    exchange of the content after it.
    std::vector<std::size_t> per_exchange(exchanges.count, 0);
    std::uint32_t next = exchanges.count - 1;
    for (std::size_t k = tokens.ids.size(); k-- > 0;) {
        const TokenOwner owner = tokens.owners[k];
        if (owner.kind == TokenOwner::piece) {
            const std::uint32_t message = contents[owner.index].message;
            next = message < exchanges.of_message.size() ? exchanges.of_message[message] : Exchanges::none;
        }
        if (next != Exchanges::none) ++per_exchange[next];
    }
    // 2. The fewest leading exchanges whose tokens bring the rest within the limit.
    std::size_t length = tokens.ids.size(), dropped = 0;
    while (dropped + 1 < exchanges.count && length > max_length) length -= per_exchange[dropped++];
    return dropped;
}

bool lay_out_conversation(const OwnedTokens& tokens, std::span<const std::uint8_t> labelled,
                          std::optional<std::size_t> max_length, EncodedRows& out) {
    if (max_length && tokens.ids.size() > *max_length) return false;
    std::vector<std::size_t> lengths(labelled.size(), 0);
    piece_lengths(tokens, lengths);
    out.add_cut(tokens, lengths, CutSide::end, LabelRule{labelled, {}});
    return true;
}

}  // namespace korvanta
