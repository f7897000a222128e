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
    auto exchange_of = [&](std::uint32_t piece) {
        const std::uint32_t message = contents[piece].message;
        return message < exchanges.of_message.size() ? exchanges.of_message[message] : Exchanges::none;
    };
    // 1. Each token's exchange. A template token takes the exchange of the
    //    content after it (a header), but for the end token right after a
    //    content (with the blank tokens between), which goes with that content.
    const std::size_t n = tokens.ids.size();
    std::vector<std::uint32_t> of_token(n, Exchanges::none);
    std::uint32_t next = exchanges.count - 1;
    for (std::size_t k = n; k-- > 0;) {
        if (tokens.owners[k].kind == TokenOwner::piece) next = exchange_of(tokens.owners[k].index);
        of_token[k] = next;
    }
    for (std::size_t k = 0; k < n; ++k) {
        if (tokens.owners[k].kind != TokenOwner::piece) continue;
        const std::uint32_t exchange = of_token[k];
        std::size_t j = k + 1;
        while (j < n && tokens.owners[j].kind != TokenOwner::piece && (tokens.marks[j] & blank_mark) != 0 &&
               (tokens.marks[j] & (special_mark | protected_mark)) == 0) {
            ++j;
        }
        if (j < n && tokens.owners[j].kind != TokenOwner::piece &&
            (tokens.marks[j] & (special_mark | protected_mark)) != 0) {
            for (std::size_t b = k + 1; b <= j; ++b) of_token[b] = exchange;
        }
    }
    std::vector<std::size_t> per_exchange(exchanges.count, 0);
    for (std::uint32_t exchange : of_token) {
        if (exchange != Exchanges::none) ++per_exchange[exchange];
    }
    // 2. The fewest leading exchanges whose tokens bring the rest within the limit.
    std::size_t length = n, dropped = 0;
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
