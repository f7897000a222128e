// The tokenizer-free part of encoding conversations: each conversation as
// its chat template wrote it, with where each message's content stands; the
// exchanges a conversation too long drops from its start; the rows laid out
// with labels on the contents of the roles trained on and on the end token
// after each. Plain C++ over text, id and offset arrays, fuzzed alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/assembly.hpp"

namespace korvanta {

// Where a message's content stands in its conversation's text.
struct ContentSpan {
    CharSpan span;                 // its characters in the text
    std::uint32_t message = 0;     // the message it is the content of
    bool labelled = false;         // its tokens are labelled (its role is trained on)
};

// Conversations as their chat template wrote them, one after another.
class Conversations {
   public:
    // One conversation: its text (UTF-8) and its contents, in text order, not overlapping.
    void add(std::string_view text, std::span<const ContentSpan> contents);

    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view text(std::size_t row) const noexcept;
    std::size_t characters(std::size_t row) const noexcept { return characters_[row]; }
    std::span<const ContentSpan> contents(std::size_t row) const noexcept;
    // The contents' spans, and whether each is labelled, of a row.
    std::vector<CharSpan> spans(std::size_t row) const;
    std::vector<std::uint8_t> labelled(std::size_t row) const;

   private:
    std::string text_;                       // every text, one after another
    std::vector<std::size_t> ends_;          // where each text ends in text_
    std::vector<std::size_t> characters_;    // each text's length in characters
    std::vector<ContentSpan> contents_;      // every conversation's contents
    std::vector<std::size_t> content_ends_;  // where each conversation's contents end
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

// Lays out a conversation's tokens, nothing cut, labelled on its `labelled`
// contents and the end token after each (as for target fields); false, with
// nothing added, when they are more than `max_length`.
bool lay_out_conversation(const OwnedTokens& tokens, std::span<const std::uint8_t> labelled,
                          std::optional<std::size_t> max_length, EncodedRows& out);

}  // namespace korvanta
