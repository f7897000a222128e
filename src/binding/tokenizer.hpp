// The one checked boundary to the template's tokenizer: what a tokenizer
// returns becomes plain C++ values here (ids, offsets, special flags), with
// counts, lengths and ranges checked once and each object held while it is
// read. Past this file no code reads a tokenizer's Python objects. The
// tokenizer is found by what it offers (a tokenizers.Tokenizer, or a
// transformers fast tokenizer's backend), never by importing either, and is
// only read: where its own settings (truncation, padding, special tokens read
// as text) would change what it gives, a private copy without them does the work.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/conversions.hpp"
#include "binding/entry_points.hpp"
#include "core/assembly.hpp"

namespace korvanta {

// What a tokenizer's vocabulary was when a cache was made from it: a token
// added since at a new id makes the cache stale. Reading it back costs the
// same however many tokens were added (no list or map of them is made). A
// token added in place (one the vocabulary already holds, made special or
// added again with other options) keeps every id and is not seen: assigning
// the tokenizer again starts afresh.
struct VocabularyStamp {
    std::size_t model = 0;            // the model's own vocabulary size, 0 when it does not say
    std::optional<TokenId> next_id;   // the id the next added token would take; none: it cannot be asked

    bool operator==(const VocabularyStamp&) const = default;
};

// What attributes a tokenizer object has, learnt once per object: those it
// lacks are not looked up again (a failed look-up makes and clears an error).
struct TokenizerShape {
    enum Has : std::uint16_t {
        backend_tokenizer = 1 << 0,
        mask_token = 1 << 1,
        pad_token = 1 << 2,
        padding_side = 1 << 3,
        model_max_length = 1 << 4,
        padding = 1 << 5,
        truncation = 1 << 6,
        encode_special_tokens = 1 << 7,
        get_vocab_size = 1 << 8,
        id_to_token = 1 << 9,
    };
    std::uint16_t has = 0;

    bool operator[](Has attribute) const noexcept { return (has & attribute) != 0; }
};

// The template's tokenizer as one call reads it.
struct TokenizerView {
    Ref object;      // the template's tokenizer, held for the call
    Ref backend;     // what does the work: the object itself, or its backend_tokenizer
    Ref mask_token;  // the mask token it names (str), or null
    Ref pad_token;   // the pad token it names (str), or null
    Ref padding_side;  // the side it pads on ("left" or "right", a transformers tokenizer's), or null
    std::size_t model_max_length = 0;  // the longest input its model takes (a transformers tokenizer's), 0: unknown
    TokenizerShape shape;  // the attributes it has
    bool as_is = false;  // no truncation, padding or special tokens read as text: it can be called as it is
};

// The view of `tokenizer` (None when the template has none); a TypeError
// naming what it lacks when it is not a tokenizer. With the `shape` learnt of
// this very object, only the attributes it has are read.
TokenizerView view_tokenizer(PyObject* tokenizer, const TokenizerShape* shape = nullptr);

// Whether the backend's vocabulary is still as `stamp` says (no token added at a new id).
bool vocabulary_unchanged(const TokenizerView& tokenizer, const VocabularyStamp& stamp);

// The id of `token` (a str), or none when the tokenizer does not know it.
std::optional<TokenId> token_id(PyObject* backend, PyObject* token);


// What encodes texts for one template: the backend itself, or a private copy.
struct Encoder {
    Ref backend;       // the tokenizer object whose methods are called
    Ref batch;         // its encode_batch
    Ref batch_ids;     // its encode_batch_fast (no offsets), or encode_batch

    Encoder share() const;  // another handle on the same objects
};

// An encoder that gives what the backend gives with its own settings off; a
// copy when they are on (a ValueError that says what to turn off when the
// tokenizer cannot be copied). `text_only` makes a copy that reads special
// tokens written in text as plain text, or none when it cannot be copied.
// With `whole_offsets`, a copy without the post-processor where there is one
// (it adds nothing to a text read without special tokens, but may trim the
// offsets of the whitespace a token holds).
std::optional<Encoder> make_encoder(const TokenizerView& tokenizer, bool text_only, bool whole_offsets = false);

// Encodes UTF-8 `texts` (each of `characters[i]` characters) with or without
// the tokenizer's special tokens around each; offsets and special flags only
// when `offsets` is true. Every result is checked here.
TokenBatch encode_texts(const Encoder& encoder, std::span<const std::string_view> texts,
                        std::span<const std::size_t> characters, bool special_tokens, bool offsets);
// The same, counting each text's characters.
TokenBatch encode_texts(const Encoder& encoder, std::span<const std::string_view> texts, bool special_tokens,
                        bool offsets);

// An added token that is not special, which the tokenizer splits out of
// text even where it reads special tokens as text.
struct AddedText {
    std::string content;      // UTF-8 (empty when the tokenizer does not say)
    bool normalized = false;  // matched in the normalized text
};

// What encoding needs to know of a tokenizer for one template, asked in one
// trip and checked once.
struct TokenizerFacts {
    std::optional<TokenId> mask_id;    // the mask token's id, when one was asked for
    ProtectedTokens protected_tokens;  // the ids no row text may make, with their spellings
    IdSet whitespace;                  // the lone whitespace pieces (▁, Ġ, Ċ) the vocabulary holds
    std::size_t trailing_special = 0;  // the special tokens it puts after a text's content
    VocabularyStamp vocabulary;        // its vocabulary as the facts were read
    std::vector<AddedText> ordinary_added;  // its added tokens that are not special
};

// The facts of `tokenizer` as `encoder` reads text: `mask_token` is looked
// up when given (a ValueError when the tokenizer does not know it).
TokenizerFacts tokenizer_facts(const TokenizerView& tokenizer, const Encoder& encoder,
                               const std::optional<std::string>& mask_token);

// A tokenizers backend's normalizer, pre-tokenizer and model, called one
// after the other on a text: what the backend gives for it with special
// tokens in it read as text and its truncation and padding off, without a
// copy of the tokenizer. Its ordinary added tokens are not split out (the
// backend would), so a text that holds one is not read this way.
struct ModelPipeline {
    Ref split_type;     // tokenizers.PreTokenizedString; null: the backend has no such parts
    Ref normalize;      // its normalizer's normalize, or null
    Ref normalize_str;  // and normalize_str
    Ref pre_tokenize;   // its pre-tokenizer's pre_tokenize, or null
    Ref tokenize;       // its model's tokenize

    explicit operator bool() const noexcept { return static_cast<bool>(split_type); }
};

// The pipeline of `backend`, empty when it has not the parts of a tokenizers backend.
ModelPipeline model_pipeline(PyObject* backend);

// Whether a text of `texts` holds one of the `added` tokens, as the backend
// matches them (in the normalized text for those that say so).
bool holds_added(const ModelPipeline& pipeline, std::span<const std::string_view> texts,
                 std::span<const AddedText> added);

// Reads UTF-8 `texts` through `pipeline`: ids, and offsets in characters.
TokenBatch pipeline_texts(const ModelPipeline& pipeline, std::span<const std::string_view> texts);

// The lone whitespace pieces of the usual pre-tokenizers (▁, Ġ, Ċ) that the vocabulary holds.
IdSet whitespace_pieces(PyObject* backend);

}  // namespace korvanta
