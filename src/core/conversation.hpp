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
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/assembly.hpp"

namespace korvanta {

// Where a message's content (or its whole turn) stands in its conversation's text.
struct ContentSpan {
    CharSpan span;                 // its characters in the text
    std::uint32_t message = 0;     // the message it is the content of
    // Where a special token spelled is the message's own (read as text): its
    // content; elsewhere in its turn the template wrote it (a tool call's tag).
    std::optional<CharSpan> spelled;  // none: all of `span`
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

// How many of a conversation's tokens each exchange has, counted as
// exchanges_to_drop counts them; the last entry (at `exchanges.count`) holds
// the tokens of no exchange (the opening system messages and what the
// template writes around them).
std::vector<std::size_t> tokens_per_exchange(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                                             const Exchanges& exchanges);

// The runs of whole exchanges a conversation too long for max_length is
// split into, each written as the conversation's opening system messages and
// those exchanges. Runs are found one after another: from the first exchange
// not yet placed, as many exchanges as the whole conversation's tokens say
// fit, then one more after each try that fits or one fewer after each that
// does not, until the most that fit are known; an exchange that does not fit
// even alone is left out. Consecutive runs never share an exchange.
class RunSearch {
   public:
    struct Run {
        std::size_t begin, end;  // exchanges [begin, end)
    };
    // `per_exchange` as tokens_per_exchange() counts them.
    RunSearch(std::vector<std::size_t> per_exchange, std::size_t max_length);

    // The run to try next, [begin(), next()), or SIZE_MAX when the search is done.
    std::size_t begin() const noexcept { return begin_; }
    std::size_t next() const noexcept { return next_; }
    // Learns whether the run [begin(), end) fits; true when the caller keeps
    // what it wrote (the longest run that fit so far from this begin).
    bool learn(std::size_t end, bool fits) noexcept;
    // The runs known so far, in order.
    const std::vector<Run>& runs() const noexcept { return runs_; }

   private:
    std::size_t count() const noexcept { return per_exchange_.size() - 1; }
    void start_run() noexcept;

    std::vector<std::size_t> per_exchange_;
    std::size_t max_length_;
    std::size_t begin_ = 0;     // the first exchange of the run sought
    std::size_t fits_ = 0;      // the longest end known to fit (begin_: none)
    std::size_t too_long_ = 0;  // the shortest end known not to fit (count() + 1: none)
    std::size_t next_ = 0;      // the end to try next
    std::vector<Run> runs_;
};

// The same guessed from characters alone, before tokenizing, for a
// conversation written as `characters` characters at `characters_per_token`:
// an exchange's characters run from the end of the content before its first
// (the end of the text for the last) to the end of the content before the next.
std::size_t exchanges_to_drop(std::size_t characters, std::span<const ContentSpan> contents,
                              const Exchanges& exchanges, std::size_t max_length, double characters_per_token);

// The search for how many leading exchanges a conversation too long leaves
// out: ways to write it, each without its first `dropped` exchanges, tried
// until the fewest that fit are known or even the last exchange alone does
// not fit. A way tokenized with offsets shows whether it fits; a way only
// counted (its ids, cheaper) can show that it is too long, or nothing.
class ExchangeSearch {
   public:
    struct Way {
        std::size_t dropped = 0;
        bool counted = false;  // only counted: expected not to fit
    };
    enum class Shown : std::uint8_t { nothing, fits, too_long };

    // The first ways, from a guess of how many to leave out that the
    // conversation's characters made: whole; or the guess, and one fewer
    // (counted, to show that no fewer fit).
    static std::vector<Way> first_ways(std::size_t guess);
    // Learns what `way` showed; true when the caller keeps what it wrote (the
    // fewest left out that fit, or the most that still did not).
    bool learn(Way way, Shown shown) noexcept;
    // The next way to try, or none when the search is done. `suggested`: how
    // many to leave out that the tokens of the way kept as too long suggest
    // (read only while nothing fits).
    std::optional<Way> next(std::size_t suggested, std::size_t exchanges) const noexcept;

    std::optional<std::size_t> fits() const noexcept { return fits_; }
    std::optional<std::size_t> too_long() const noexcept { return too_long_; }

   private:
    std::optional<std::size_t> too_long_;  // the most leading exchanges left out that still did not fit
    std::optional<std::size_t> fits_;      // the fewest left out that fit
    std::optional<std::size_t> unproven_;  // left out in a way counted that the count could not show too long
    std::uint8_t fitted_ = 0;   // ways that fit so far (up to 32): the steps down double with each
    std::uint8_t overlong_ = 0;  // ways too long so far (up to 32): the steps up double with each after the second
};

// Leaves out a special token the tokenizer added at either end of a
// conversation next to the same token its text writes (a markup that writes
// its own BOS gets no second one).
void drop_doubled_specials(OwnedTokens& tokens);

// What a conversation's labels are.
enum class Labels : std::uint8_t {
    turns,   // the turns of the messages trained on (their pieces), each through the end token that closes it
    tagged,  // the tokens the chat template tagged (tagged_mark)
};

// Lays out a conversation's tokens (attributed to `contents`), nothing cut;
// false, with nothing added, when they are more than `max_length`. With
// Labels::turns, a piece of a message `labelled` names (per message) is
// labelled with everything after it up to and including the first special or
// protected token (and the special tokens right after that), unless the next
// piece starts first: an empty piece labels its end token too.
bool lay_out_conversation(const OwnedTokens& tokens, std::span<const ContentSpan> contents,
                          std::span<const std::uint8_t> labelled, std::optional<std::size_t> max_length,
                          Labels labels, EncodedRows& out);

// A conversation as written and tokenized, to lay out.
struct ConversationRow {
    const OwnedTokens* tokens;                // attributed to `contents`
    std::span<const ContentSpan> contents;
    std::span<const std::uint8_t> labelled;   // per message
};

// Lays `rows` out in order, as lay_out_conversation does each: one longer
// than `max_length` is left out when `drop` (row_index names those kept),
// else stops the layout (LayoutStop::too_long, with the tokens it needs).
std::optional<LayoutStop> lay_out_conversations(std::span<const ConversationRow> rows,
                                                std::optional<std::size_t> max_length, Labels labels, bool drop,
                                                EncodedRows& out, std::vector<std::size_t>& row_index);

// ---------------------------------------------------------------- marking a written conversation

// Markers are code points of the private use plane U+F0000 to U+FFFFD: two
// per message (before and after its content), by its place among those
// written, starting again after most_marked messages; the plane's last two
// open and close a tagged block.
inline constexpr char32_t first_marker = 0xF0000;
inline constexpr std::uint32_t open_tagged = 0xFFFC;   // its code
inline constexpr std::uint32_t close_tagged = 0xFFFD;  // its code
inline constexpr std::size_t most_marked = open_tagged / 2;  // messages

// Whether UTF-8 `text` holds a code point of the markers' plane.
bool holds_markers(std::string_view text) noexcept;

// A text with its markers taken out, and each marker's code and place.
struct Unmarked {
    std::string text;
    std::vector<std::pair<std::uint32_t, std::size_t>> markers;  // (code, character position in `text`)
    std::vector<CharSpan> tagged;                                // the tagged blocks, in order
    bool tags_paired = true;                                     // every block opened is closed, none nested
};
Unmarked unmark(std::string_view marked);

// Where the contents stand, by the markers of a conversation written with
// each content between two: false when a marker has no partner, or a
// content is written twice. With `found`, a marker without its partner is
// passed over instead, and `found` says (per place in `kept`) which were found.
bool spans_from_markers(const Unmarked& marked, std::span<const std::uint32_t> kept, std::vector<ContentSpan>& spans,
                        std::vector<std::uint8_t>* found = nullptr);

// Where the contents stand in `text` when the template wrote each content
// of `marked` (a rendering with every content between its markers) as given
// or with blanks trimmed from its ends (a `| trim`), and all else alike:
// false, with nothing added, when the text cannot be lined up so.
bool spans_of_trimmed_contents(const Unmarked& marked, std::string_view text, std::span<const std::uint32_t> kept,
                               std::vector<ContentSpan>& spans);

// The characters of `text` that differ from `head` + `tail` (a text written
// with one part replaced by a marker): what follows the longest start it
// shares with `head` and precedes the longest end it shares with `tail`.
CharSpan changed_span(std::string_view text, std::string_view head, std::string_view tail) noexcept;

// Where each marker of `marked` stands in `text`, a rendering of the same
// conversation with something in place of each marker (a message written
// with its content one marker instead of its whole turn): what stands between
// the pieces of `marked` around the markers, found in `text` in order. None
// when the pieces cannot be found so, or can be in more than one way.
std::optional<std::vector<CharSpan>> replaced_spans(std::string_view text, const Unmarked& marked);

// Settles where the messages of a written conversation stand once each is
// found: in order; a turn (`turns[message]`) starting right after the last
// `header` written before it; with `open`, the text ending there inside the
// last message `last` (its turn runs to there; nothing after it stands).
// Returns the first message that overlaps the one before it (the text
// cannot be lined up), if any.
std::optional<std::uint32_t> settle_spans(std::string_view text, std::span<const std::uint8_t> turns,
                                          std::string_view header, std::optional<std::size_t> open, std::uint32_t last,
                                          std::vector<ContentSpan>& pieces, std::vector<CharSpan>& tagged);

}  // namespace korvanta
