// The tokenizer-free part of encoding rows into model inputs: the template
// read as text, fields and slots; each row's whole prompt written out with
// where its fields and slots stand; the tokens the tokenizer gave for a
// prompt attributed to the template, to fields and to slots; the cutting of
// field tokens to fit a maximum length; the rows laid out with their slots'
// positions and the width they are padded to; the contexts label words are
// read in. Plain C++ over text, id and offset arrays, fuzzed alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/markup.hpp"
#include "core/record.hpp"

namespace korvanta {

// Token ids are kept at 64 bits; a tokenizer's ids are checked to lie in
// 0 .. max_token_id before they reach the core.
using TokenId = std::uint64_t;
inline constexpr TokenId max_token_id = (TokenId(1) << 63) - 1;

// Characters begin .. end of a prompt (Unicode code points, as a tokenizer's offsets count them).
struct CharSpan {
    std::size_t begin = 0;
    std::size_t end = 0;

    bool empty() const noexcept { return begin == end; }
    // Whether the two share a character (an empty span shares none).
    bool overlaps(CharSpan other) const noexcept {
        return begin < other.end && other.begin < end && !empty() && !other.empty();
    }
    bool contains(CharSpan other) const noexcept { return begin <= other.begin && other.end <= end; }
};

// ---------------------------------------------------------------- the template's side

// A template as encoding reads it: text written as it stands, fields filled
// from each row, slots written as the mask token.
enum class PartKind : std::uint8_t { text, field, slot };
struct PromptPart {
    PartKind kind;
    std::string text;       // text: the template's text (UTF-8); slot: the slot's name
    std::size_t field = 0;  // field: its index in PromptPlan::fields
    std::size_t characters = 0;  // text: how many characters `text` holds
};

struct PromptPlan {
    std::vector<PromptPart> parts;    // in template order; a causal plan ends before its first slot that is not a target
    std::vector<std::string> fields;  // the fields' names, UTF-8, in template order, each once
    std::vector<std::vector<std::string>> answers;  // per field: a causal target slot's options, its value one of them; else empty
    std::vector<std::uint8_t> target_fields;        // per field: its tokens are labelled
    std::vector<std::uint8_t> target_slots;         // per slot part: its mask is labelled with the row's answer
    std::string mask_token;           // written at each slot (UTF-8)
    std::size_t mask_characters = 0;  // how many characters the mask token holds
    std::size_t pieces = 0;           // how many field parts (a field may stand more than once)
    std::size_t slots = 0;            // how many slot parts; a causal plan's one slot is where it stops
    bool causal = false;              // no mask token: slots are answered in place or end the input
    bool stops_at_slot = false;       // a causal plan that ends where a slot that is not a target stands
};

// The plan of a template: a control is a slot when it has options or is named
// in `extra_slots`, a field otherwise; `targets` names the fields and slots
// whose tokens are labelled. With no mask token (a causal model) a target
// slot is answered in place, like a field whose value is one of its options,
// and the plan ends at the first other slot, without the whitespace before it.
PromptPlan plan_prompt(const FragmentList& fragments, std::span<const std::string> extra_slots,
                       const std::optional<std::string>& mask_token, std::span<const std::string> targets = {});

// ---------------------------------------------------------------- prompts

// Rows' whole prompts, one after another, with where each field piece and
// each slot stands in its prompt.
class Prompts {
   public:
    explicit Prompts(const PromptPlan& plan) noexcept : plan_(plan) {}

    // Writes one row's prompt; `values` holds each field's text by field index.
    void add(std::span<const std::string_view> values);

    std::size_t size() const noexcept { return ends_.size(); }
    std::string_view text(std::size_t row) const noexcept;
    std::size_t characters(std::size_t row) const noexcept { return characters_[row]; }
    std::span<const CharSpan> pieces(std::size_t row) const noexcept;
    std::span<const CharSpan> slots(std::size_t row) const noexcept;

   private:
    const PromptPlan& plan_;
    std::string text_;                    // every prompt, UTF-8, one after another
    std::vector<std::size_t> ends_;       // where each prompt ends in text_
    std::vector<std::size_t> characters_; // each prompt's length in characters
    std::vector<CharSpan> pieces_;        // plan_.pieces spans a row
    std::vector<CharSpan> slots_;         // plan_.slots spans a row
};

// ---------------------------------------------------------------- tokens

// What a tokenizer gave for a batch of texts, checked: ids, and when asked
// for, each token's characters and whether it is a special token.
struct TokenBatch {
    std::vector<TokenId> ids;          // every text's ids, one text after another
    std::vector<CharSpan> offsets;     // per id, its characters in its text (empty when not asked for)
    std::vector<std::uint8_t> special; // per id, 1 for a special token (empty when not asked for)
    std::vector<std::size_t> ends;     // where each text's ids end

    std::size_t size() const noexcept { return ends.size(); }
    std::size_t begin(std::size_t text) const noexcept { return text == 0 ? 0 : ends[text - 1]; }
    std::span<const TokenId> ids_of(std::size_t text) const noexcept;
    std::span<const CharSpan> offsets_of(std::size_t text) const noexcept;
    std::span<const std::uint8_t> special_of(std::size_t text) const noexcept;
    // The texts of `other` after these.
    void append(const TokenBatch& other);
};

// A set of ids, sorted, each once: the lone whitespace pieces of a vocabulary.
class IdSet {
   public:
    IdSet() = default;
    explicit IdSet(std::vector<TokenId> ids);
    bool contains(TokenId id) const noexcept;
    std::span<const TokenId> ids() const noexcept { return ids_; }

   private:
    std::vector<TokenId> ids_;  // sorted, unique
};

// The ids no row text may make (every special token of the tokenizer, the
// unknown token among them, its mask token and its pad token), each with its
// spelling. A protected token that row text made is a spelling of it only
// where the characters it stands for are its spelling: a byte piece standing
// for a character the vocabulary lacks, or the unknown token standing for
// text it cannot read, is what the tokenizer makes of that text and stays.
class ProtectedTokens {
   public:
    struct Token {
        TokenId id;
        std::string spelling;  // UTF-8, as the tokenizer matches it in text
        bool literal = true;   // matched in the text as written (false: in the normalized text, any spelling counts)
    };
    ProtectedTokens() = default;
    explicit ProtectedTokens(std::vector<Token> tokens);
    bool contains(TokenId id) const noexcept { return ids_.contains(id); }
    // Whether `text` (the characters protected token `id` stands for, but for
    // the whitespace it absorbed around them) spells it; a protected token
    // with no literal spelling is spelled by any text, any other id by none.
    bool spells(TokenId id, std::string_view text) const noexcept;

   private:
    IdSet ids_;
    std::vector<Token> tokens_;  // sorted by id
};

// Whom a token of a prompt belongs to.
struct TokenOwner {
    enum Kind : std::uint8_t { own, piece, slot };
    Kind kind = own;       // own: the template's (its text, its special tokens)
    std::uint32_t index = 0;  // piece: the field piece; slot: the slot
};

// A protected token that a field's text made, and the characters it came from.
struct InjectedToken {
    std::size_t token;  // its index among the row's tokens
    CharSpan span;      // its characters in the prompt
};

// What a token of a prompt is, beyond its owner (bits of OwnedTokens::marks).
enum TokenMark : std::uint8_t {
    special_mark = 1,    // the tokenizer flags it special (a post-processor's)
    protected_mark = 2,  // its id is protected (an added special token, the mask, the pad token) and the text spells it
    blank_mark = 4,      // it holds no characters, or only whitespace
    tagged_mark = 8,     // its characters lie in a span the text's writer tagged (a chat template's generation block)
};

// One row's tokens with their owners, as the core cuts and lays them out.
struct OwnedTokens {
    std::vector<TokenId> ids;
    std::vector<TokenOwner> owners;
    std::vector<std::uint8_t> marks;      // per token, its TokenMark bits
    std::vector<InjectedToken> injected;  // in token order
    std::vector<std::size_t> piece_starts;  // per piece: the first token not wholly before it (where an empty one stands)

    // Keeps the first `count` tokens (a causal input drops the special tokens after its content).
    void keep_first(std::size_t count);
};

// Characters `span` of UTF-8 text.
std::string_view character_slice(std::string_view text, CharSpan span) noexcept;

// Attributes the tokens of `prompt`: the mask token standing at a slot is
// the slot's; a token with characters of a field piece is the piece's, except
// a protected or special token whose characters, but for whitespace it
// absorbed around it, lie outside the piece (the template's own); everything
// else is the template's. A protected token the tokenizer made of text its
// vocabulary lacks (it does not spell it) is attributed as any other token. A
// protected or special token that a piece's text spells is kept in
// `injected` — with `spelled` (per piece), only one within the piece's
// entry there; elsewhere in the piece it is the piece's, as written. Returns
// false when a slot does not hold exactly one mask token.
bool attribute_tokens(std::string_view prompt, std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                      std::span<const std::uint8_t> special, std::span<const CharSpan> pieces,
                      std::span<const CharSpan> slots, TokenId mask_id, const ProtectedTokens& protected_ids,
                      OwnedTokens& out, std::span<const CharSpan> spelled = {});

// Marks the tokens of `tokens` (read at `offsets`) that share a character
// with one of `tagged` (in order, apart) with tagged_mark.
void mark_tagged(std::span<const CharSpan> offsets, std::span<const CharSpan> tagged, OwnedTokens& tokens);

// Appends to `out` the ids of a reading of `text` (its ids and offsets) but
// for the protected tokens the text spells; returns whether there were none.
bool unspelled_ids(std::string_view text, std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                   const ProtectedTokens& protected_ids, std::vector<TokenId>& out);

// Replaces the injected tokens of `tokens` by `replacements[i]` (for the i-th
// injected token), owned by the same piece.
void replace_injected(OwnedTokens& tokens, std::span<const std::vector<TokenId>> replacements);

// What the template itself makes in every row: the protected ids of its own
// tokens in order, and which of them are the mask at a slot. A row whose
// protected ids are exactly these has no field that made one, and its slots
// are those mask tokens: no offsets are needed to lay it out.
struct OwnSignature {
    std::vector<TokenId> sequence;       // the protected ids of its tokens, in token order
    std::vector<std::uint8_t> at_slot;   // per entry: it is the mask token at a slot
    std::size_t tokens = 0;              // the template's own tokens with every field empty

    // The slots' positions among `ids`, when its protected ids are the
    // template's own; false otherwise.
    bool slot_positions(std::span<const TokenId> ids, const ProtectedTokens& protected_ids,
                        std::vector<std::size_t>& positions) const;
};

OwnSignature own_signature(const OwnedTokens& empty_row, const ProtectedTokens& protected_ids);

// ---------------------------------------------------------------- length prediction

// What the rows of one template have shown of the characters per token of
// their fields, to tell before tokenizing which rows will be cut: a row that
// will be is read with offsets at once, rather than by ids and then again.
// Sending a row that fits costs the offsets (about a third more); missing a
// row that is cut costs a second tokenization: so a row goes when more than
// a quarter of the rows seen would have made it too long.
class LengthModel {
   public:
    // A row whose fields held `characters` characters in `tokens` tokens.
    void observe(std::size_t characters, std::size_t tokens) noexcept;
    // Whether a row whose fields hold `characters` characters is likely too
    // long when `room` tokens are left for them; false before anything is seen.
    bool likely_cut(std::size_t characters, std::size_t room) noexcept;
    // The characters per token of the middle row seen, or 0 before anything is seen.
    double typical() noexcept;
    // Whether any row has been seen.
    bool ready() const noexcept { return seen_ != 0; }

   private:
    static constexpr std::size_t kept = 256;  // the ratios of the last rows seen
    std::array<float, kept> ratios_{};
    std::size_t seen_ = 0;
    std::size_t since_ = 0;   // rows seen since the threshold was worked out
    double threshold_ = 0;    // characters per token below which a quarter of the rows fall; 0: none yet
    double middle_ = 0;       // and half of them
    void refresh() noexcept;  // works both out again after a few rows more
};

// ---------------------------------------------------------------- cutting and layout

enum class CutSide { end, start };  // which end of a field piece loses its tokens

// How many tokens each piece keeps so that the row is at most `max_length`
// long: all of them when the row fits; otherwise the pieces that may be
// shortened are cut, longest first, to exactly what fits (when the longest
// pieces tie, those earlier in the row keep one token more). `fixed` counts
// the row's tokens outside pieces. Returns false, leaving `kept`
// unspecified, when even cutting those pieces to nothing is not enough.
bool kept_lengths(std::size_t fixed, std::span<const std::size_t> lengths, std::span<const std::uint8_t> shortenable,
                  std::size_t max_length, std::span<std::size_t> kept);

// Per piece, how many tokens the row's tokens give it.
void piece_lengths(const OwnedTokens& tokens, std::span<std::size_t> lengths) noexcept;

// What a row's labels are: the tokens of its target pieces, and at a target
// slot's mask the id of the row's answer. So that a model learns to stop, the
// end token that follows a target piece's last token is labelled too: the
// template's first protected token after it (with the blank tokens between),
// and the special tokens the tokenizer adds right after.
struct LabelRule {
    std::span<const std::uint8_t> target_pieces;        // per piece: labelled
    std::span<const std::optional<TokenId>> slot_answers;  // per slot: the id its mask is labelled with, if any
};
inline constexpr std::int64_t ignored_label = -100;  // what a loss skips

// Rows of ids, one after another, with the positions of their slots and,
// when asked for, their labels.
class EncodedRows {
   public:
    explicit EncodedRows(std::size_t slots_per_row, bool labelled = false) noexcept
        : slots_per_row_(slots_per_row), labelled_(labelled) {}

    // A row as the tokenizer gave it, its slots at `slot_positions`, each
    // slot with an answer labelled with it.
    void add(std::span<const TokenId> ids, std::span<const std::size_t> slot_positions,
             std::span<const std::optional<TokenId>> slot_answers = {});
    // A row of owned tokens, each piece keeping its first (CutSide::end) or
    // last (CutSide::start) `kept[p]` tokens.
    void add_cut(const OwnedTokens& tokens, std::span<const std::size_t> kept, CutSide side,
                 const LabelRule& labels = {});
    // A row with its labels given, one per id (ignored where the rows carry none).
    void add_labelled(std::span<const TokenId> ids, std::span<const std::int64_t> labels);
    // Drops the last `count` ids of the last row (the special tokens after a causal input).
    void drop_last(std::size_t count) noexcept;
    // A causal row: its one slot is where its input ends.
    void end_at_slot();

    std::size_t size() const noexcept { return ends_.size(); }
    // Read per token while results are made: defined here, so that they are inlined.
    std::span<const TokenId> ids(std::size_t row) const noexcept {
        const std::size_t begin = row == 0 ? 0 : ends_[row - 1];
        return std::span<const TokenId>(ids_).subspan(begin, ends_[row] - begin);
    }
    std::span<const std::size_t> slot_positions(std::size_t row) const noexcept;
    std::span<const std::int64_t> labels(std::size_t row) const noexcept {  // empty unless labelled
        if (!labelled_) return {};
        const std::size_t begin = row == 0 ? 0 : ends_[row - 1];
        return std::span<const std::int64_t>(labels_).subspan(begin, ends_[row] - begin);
    }
    bool labelled() const noexcept { return labelled_; }
    std::size_t longest() const noexcept;

   private:
    std::vector<TokenId> ids_;        // every row's ids, one row after another
    std::vector<std::int64_t> labels_;  // per id, its label (ignored_label for none), when labelled
    std::vector<std::size_t> ends_;   // where each row's ids end in ids_
    std::vector<std::size_t> slots_;  // every row's slot positions, slots_per_row_ a row
    std::size_t slots_per_row_;       // the plan's slot count
    bool labelled_;                   // whether rows carry labels
};

// A row to lay out: its ids as the tokenizer gave them, read by ids alone
// (`ids`, and its slots at `positions`), or its tokens read with offsets and
// attributed (`owned`), which may be cut.
struct RowTokens {
    OwnedTokens* owned = nullptr;             // read with offsets, or null
    std::span<const TokenId> ids;             // read by ids alone
    std::span<const std::size_t> positions;   // read by ids alone: its slots' positions
};

// How rows are laid out.
struct LayoutRule {
    std::optional<std::size_t> max_length;         // the most tokens a row may have
    std::span<const std::uint8_t> shortenable;     // per piece: it may be cut
    CutSide side = CutSide::end;                   // which end of a piece is cut
    std::span<const std::uint8_t> target_pieces;   // per piece: its tokens are labelled
    // Per slot, per option: the one id its mask is labelled with when that
    // option is the answer (none: the word is several tokens); empty for a
    // slot that is not a target.
    std::span<const std::vector<std::optional<TokenId>>> slot_words;
    std::span<const std::size_t> answers;          // row after row, per slot: the option that answers it
    std::size_t trailing = 0;                      // special tokens each row drops at its end (a causal input)
    bool ends_at_slot = false;                     // a causal row ends where its one slot stands
    bool drop = false;                             // a row that cannot fit is left out
};

// Why laying out stopped at a row.
struct LayoutStop {
    enum Kind { too_long, word_of_pieces } kind;
    std::size_t row;
    std::size_t needed = 0;  // too_long: the tokens the row needs without what may be cut
    std::size_t slot = 0;    // word_of_pieces: the slot whose answer is several tokens,
    std::size_t option = 0;  // and that answer
};

// Lays `rows` out in order: each row's trailing tokens dropped, its pieces
// cut to fit (a row that cannot fit left out when the rule drops, else the
// layout stops there), labelled, its slots placed; the index of each row
// laid out goes to `row_index`.
std::optional<LayoutStop> lay_out(std::span<RowTokens> rows, const LayoutRule& rule, std::size_t pieces,
                                  EncodedRows& out, std::vector<std::size_t>& row_index);

// How wide padded rows are: not padded (0), as the longest row, or a given
// width (never narrower than the longest row).
struct Padding {
    enum Kind { none, longest, width } kind = none;
    std::size_t size = 0;  // the width, for Kind::width
};
std::size_t padded_width(const EncodedRows& rows, Padding padding) noexcept;

// ---------------------------------------------------------------- label words

// Each option of each slot written at its slot after the template text
// before it, without the whitespace around the option: the text to tokenize
// and where the word stands in it.
struct LabelContext {
    std::string text;  // UTF-8
    CharSpan word;     // the option's characters in `text`
};
struct LabelContexts {
    std::vector<LabelContext> contexts;        // slot after slot, option after option
    std::vector<std::size_t> words_per_slot;   // how many options each slot has
    std::vector<const PromptFragment*> slots;  // each slot's fragment
    std::vector<std::vector<std::string>> words;  // each slot's options without the whitespace around them
};
LabelContexts label_contexts(const FragmentList& fragments, std::span<const std::string> extra_slots);

// The tokens of a context that hold characters of its word, but for a lone
// whitespace piece the tokenizer put before it (`whitespace` holds their ids).
std::vector<TokenId> word_tokens(std::span<const TokenId> ids, std::span<const CharSpan> offsets,
                                 std::span<const std::uint8_t> special, CharSpan word, const IdSet& whitespace);

}  // namespace korvanta
