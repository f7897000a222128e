// Conversations as their chat template wrote them: exchanges, the exchanges
// dropped to fit and the labelled layout.
#include "core/conversation.hpp"

#include <algorithm>

namespace korvanta {

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

std::size_t exchanges_to_drop(std::size_t characters, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length, double characters_per_token) {
    if (exchanges.count < 2 || !(characters_per_token > 0)) return 0;
    const double room = characters_per_token * static_cast<double>(max_length);
    if (static_cast<double>(characters) <= room) return 0;
    // Where each exchange's characters begin; one that wrote no content begins where the next does.
    constexpr std::size_t unseen = SIZE_MAX;
    std::vector<std::size_t> begins(exchanges.count, unseen);
    std::size_t previous_end = 0;
    for (const ContentSpan& content : contents) {
        const std::uint32_t message = content.message;
        const std::uint32_t exchange =
            message < exchanges.of_message.size() ? exchanges.of_message[message] : Exchanges::none;
        if (exchange != Exchanges::none && begins[exchange] == unseen) begins[exchange] = previous_end;
        previous_end = std::max(previous_end, content.span.end);
    }
    std::size_t next = characters;
    for (std::size_t e = exchanges.count; e-- > 0;) {
        begins[e] = std::min(begins[e] == unseen ? next : begins[e], next);
        next = begins[e];
    }
    std::size_t dropped = 0;
    while (dropped + 1 < exchanges.count &&
           static_cast<double>(characters - (begins[dropped] - begins[0])) > room) {
        ++dropped;
    }
    return dropped;
}

bool lay_out_conversation(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                          std::span<const std::uint8_t> labelled, std::optional<std::size_t> max_length,
                          EncodedRows& out) {
    if (max_length && tokens.ids.size() > *max_length) return false;
    std::vector<std::uint8_t> targets;  // per content: its message's
    for (const ContentSpan& content : contents) targets.push_back(labelled[content.message]);
    std::vector<std::size_t> lengths(contents.size(), 0);
    piece_lengths(tokens, lengths);
    out.add_cut(tokens, lengths, CutSide::end, LabelRule{targets, {}});
    return true;
}

}  // namespace korvanta
