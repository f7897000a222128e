// The tokenizer-free part of encoding conversations: where each message's
// content stands in a conversation as its chat template wrote it; the
// exchanges a conversation too long drops from its start; the rows laid out
// with labels on the contents of the roles trained on and on the end token
// after each. Plain C++ over text, id and offset arrays, fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/assembly.hpp"

namespace korvanta {

// Where a message's content stands in its conversation's text.
struct ContentSpan {
    CharSpan span;                 // its characters in the text
    std::uint32_t message = 0;     // the message it is the content of
};

// A conversation's messages grouped into exchanges: the system messages it
// opens with belong to none (they are always kept); from there, an exchange
// starts at each user message (messages before the first user message join
// the first exchange).
struct Exchanges {
    std::vector<std::uint32_t> of_message;  // per message: its exchange, or `none`
    std::uint32_t count = 0;
    static constexpr std::uint32_t none = UINT32_MAX;
};
// `kinds` per message: 's' a system message, 'u' a user message, anything else another role.
Exchanges group_exchanges(std::span<const char> kinds);

// How many exchanges, from the first, a conversation whose `tokens` are too
// long for `max_length` drops so that what is left should fit: each token
// counts for the exchange of the content it belongs to; a token of the
// template's for the exchange of the next content after it (the last
// exchange after the last content), but for the end token right after a
// content, which counts with it. The last exchange is never dropped, so this
// is at most `count - 1`; an estimate: the rendering of what is left judges.
std::size_t exchanges_to_drop(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length);

// The same guessed from characters alone, before tokenizing, for a
// conversation written as `characters` characters at `characters_per_token`:
// an exchange's characters run from the end of the content before its first
// (the end of the text for the last) to the end of the content before the next.
std::size_t exchanges_to_drop(std::size_t characters, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length, double characters_per_token);

// Lays out a conversation's tokens (attributed to `contents`), nothing cut,
// labelled on the contents of the messages `labelled` names (per message)
// and the end token after each (as for target fields); false, with nothing
// added, when they are more than `max_length`.
bool lay_out_conversation(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                          std::span<const std::uint8_t> labelled, std::optional<std::size_t> max_length,
                          EncodedRows& out);

}  // namespace korvanta
