// Rows read into plain values, their prompts written and tokenized, the
// spellings of protected tokens read as text, and the label words of slots.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "binding/encoding_cache.hpp"

namespace korvanta {

// Tokenizes the prompts `rows`, with offsets or by ids alone.
TokenBatch encode_prompts(const EncodingCache& cache, const Prompts& prompts, std::span<const std::size_t> rows,
                          bool offsets);

// Tokenizes the prompts `rows` with offsets and attributes their tokens.
// Returns the first row whose slots do not each hold one mask token, or none.
std::optional<std::size_t> owned_tokens(const EncodingCache& cache, const Prompts& prompts,
                                        std::span<const std::size_t> rows, std::vector<OwnedTokens>& owned);


// What the rows hold for the template: per row, the text of each field (a
// causal target slot's answer written as its option), and the index of the
// answer to each target slot.
struct RowValues {
    std::vector<Ref> texts;            // row after row, one str per field
    std::vector<std::size_t> answers;  // row after row, one per slot part (target slots only; else 0)
    std::size_t rows = 0;
};

// Reads rows: one mapping, a sequence of mappings, or a mapping of columns.
RowValues row_values(const EncodingCache& cache, const TokenizerView& tokenizer, PyObject* rows, bool batch);

// The name of a plan's slot part `slot`.
std::string_view slot_name(const PromptPlan& plan, std::size_t slot);

// Each row's whole prompt, written from its values.
void write_prompts(const PromptPlan& plan, const RowValues& values, Prompts& prompts);

// Replaces, in each row of `owned` (whose text is `texts[i]`), the protected
// tokens its fields' text spelled by what that text reads as.
// The KeyError of a batch of columns without column `name`, and the
// ValueError of a column whose length is not the first one's: the same for
// both template classes.
[[noreturn]] void raise_missing_column(PyObject* batch, const char* name);
[[noreturn]] void raise_ragged_column(const char* name, Py_ssize_t size, const char* first, Py_ssize_t rows);

void replace_protected_spellings(const EncodingCache& cache, const TokenizerView& tokenizer,
                                 std::span<const std::string_view> texts, std::vector<OwnedTokens>& owned);

// ---------------------------------------------------------------- label words (label_words.cpp)

// The tokens of each option of each slot as it reads at its slot: slot after
// slot, option after option.
std::vector<std::vector<std::vector<TokenId>>> label_words(const Encoder& encoder, const IdSet& whitespace,
                                                           const LabelContexts& contexts);

// The ValueError of a label word that is not one token: its pieces as the tokenizer spells them.
[[noreturn]] void raise_word_pieces(const TokenizerView& tokenizer, std::string_view word, std::string_view slot,
                                    std::span<const TokenId> ids);

}  // namespace korvanta
